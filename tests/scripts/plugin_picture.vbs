' A script binds a picture plug-in, reads its texts, decodes a picture from a file name
' and from a byte array, reads the pixels and writes a bitmap file that it then checks.
' The information object comes back through a by-reference variable.
' Argument 0: the test plug-ins' folder.
Dim spiDir
spiDir = WScript.Arguments(0)

Function Pattern(seed, i)
    Pattern = (seed + i * 7 + (i \ 256)) And &HFF
End Function

' The bytes of a byte array as a comma-separated list, or Empty where the host cannot
' read one (Windows reads them as byte strings; Wine 8's VBScript cannot index them).
Function BytesOf(array, count)
    Dim s, i, n
    On Error Resume Next
    n = LenB(array)
    If Err.Number <> 0 Then
        WScript.Echo "note: this script host cannot read a byte array (" & Hex(Err.Number) & ")"
        Err.Clear
        BytesOf = Empty
        Exit Function
    End If
    On Error GoTo 0
    s = ""
    For i = 1 To count
        s = s & AscB(MidB(array, i, 1)) & ","
    Next
    BytesOf = s
End Function

' A byte array holding a file: ADODB.Stream on Windows. Where that is missing (Wine 8
' registers no type library for it) the server itself makes one: the test plug-in hands
' back, as the pixels of a picture flagged to echo, that picture's own header with the flag
' cleared, and GetBytes copies it out as a byte array.
Function ByteArrayOf(path, text)
    Dim stream, echoPath, p, info, echoed
    ByteArrayOf = Empty
    On Error Resume Next
    Set stream = CreateObject("ADODB.Stream")
    stream.Type = 1
    stream.Open
    stream.LoadFromFile path
    If Err.Number = 0 Then
        ByteArrayOf = stream.Read()
        stream.Close
        Exit Function
    End If
    WScript.Echo "note: ADODB.Stream cannot read a file here (" & Hex(Err.Number) & "); using the echo picture"
    Err.Clear
    On Error GoTo 0
    ' The flags field sits at byte 40 of the header.
    echoPath = temp & "\plugin_script_vbs_echo.qqa"
    WriteFile echoPath, Left(text, 40) & LE(8, 4) & Mid(text, 45)
    Set p = CreateObject("Tamrix.SusiePlugin.1")
    p.Load spiDir & "\qqa.spi"
    Set echoed = p.GetPicture(echoPath, 0, info)
    ByteArrayOf = echoed.GetBytes()
    fso.DeleteFile echoPath
End Function

Sub Main()
    Dim width, height, bits, picture, picturePath, p, info, pixels, rowSize, i, expected
    Dim pixelBytes, arr, fromArray, info2, bmpPath, colours, dataOffset, fileSize, file, ok
    ' A QQA1 picture: 8 x 2 pixels of 1 bit, full colour table, pattern seed 0.
    width = 8 : height = 2 : bits = 1
    picture = "QQA1" & LE(width, 4) & LE(height, 4) & LE(bits, 2) & Zeros(2) & _
              Zeros(28) & Zeros(4) & Zeros(12) & "script text" & Zeros(21) & Zeros(12)
    Equal Len(picture), 104, "picture header length"
    picturePath = temp & "\plugin_script_vbs.qqa"
    WriteFile picturePath, picture

    Set p = CreateObject("Tamrix.SusiePlugin.1")
    Equal p.Load(spiDir & "\qqa.spi"), True, "Load"
    Equal p.Version, "00IN", "Version"
    Check Len(p.About) > 0, "About is not empty"
    Equal p.About, p.PluginInfo(1), "About is information number 1"
    Equal p.PluginInfo(2), "*.qqa", "first file pattern"
    Equal p.CanPreview, True, "CanPreview"
    Equal p.GetPictureText(picturePath, 0), "script text", "GetPictureText"

    ' From a file name, both objects: the information object through the variable.
    Set pixels = p.GetPicture(picturePath, 0, info)
    Equal TypeName(info), "ISpiLocalHeap", "information object through a by-reference variable"
    Equal TypeName(pixels), "ISpiLocalHeap", "pixel object"
    rowSize = ((width * bits + 31) \ 32) * 4
    Check pixels.Length >= rowSize * height, "pixel block holds every row"
    If IsObject(info) Then Check info.Length >= 40 + 4 * 2 ^ bits, "information block holds header and colours"
    expected = ""
    For i = 0 To rowSize * height - 1
        expected = expected & Pattern(0, i) & ","
    Next
    pixelBytes = BytesOf(pixels.GetBytes(), rowSize * height)
    If Not IsEmpty(pixelBytes) Then Equal pixelBytes, expected, "pixels are the plug-in's pattern"

    ' The preview, with the same by-reference variable.
    Set info2 = Nothing
    Set pixels = p.GetPreview(picturePath, 0, info2)
    Equal TypeName(info2), "ISpiLocalHeap", "preview information object"

    ' From a byte array.
    arr = ByteArrayOf(picturePath, picture)
    If Not IsEmpty(arr) Then
        Set fromArray = p.GetPicture(arr, 104, info)
        Equal TypeName(info), "ISpiLocalHeap", "information object from a byte array"
        pixelBytes = BytesOf(fromArray.GetBytes(), rowSize * height)
        If Not IsEmpty(pixelBytes) Then Equal pixelBytes, expected, "same pixels from the byte array"
        Check fromArray.Length >= rowSize * height, "pixel block from the byte array holds every row"
    End If

    ' A bitmap file, checked byte for byte against the layout rules and the plug-in's pattern.
    bmpPath = temp & "\plugin_script_vbs.bmp"
    If fso.FileExists(bmpPath) Then fso.DeleteFile bmpPath
    p.GetPictureToFile picturePath, 0, bmpPath
    Check fso.FileExists(bmpPath), "bitmap file written"
    colours = 2 ^ bits
    dataOffset = 14 + 40 + 4 * colours
    fileSize = dataOffset + rowSize * height
    file = ReadFile(bmpPath)
    Equal Len(file), fileSize, "bitmap file size"
    Equal Left(file, 2), "BM", "file type"
    Equal At(file, 2, 4), fileSize, "bfSize"
    Equal At(file, 6, 4), 0, "reserved"
    Equal At(file, 10, 4), dataOffset, "bfOffBits"
    Equal At(file, 14, 4), 40, "biSize"
    Equal At(file, 18, 4), width, "biWidth"
    Equal At(file, 22, 4), height, "biHeight"
    Equal At(file, 28, 2), bits, "biBitCount"
    ok = True
    For i = 0 To 4 * colours - 1
        If At(file, 54 + i, 1) <> Pattern(&H40, i) Then ok = False
    Next
    Check ok, "colour table"
    ok = True
    For i = 0 To rowSize * height - 1
        If At(file, dataOffset + i, 1) <> Pattern(0, i) Then ok = False
    Next
    Check ok, "pixel rows"
    ' The same file again, decoded from the byte array.
    If Not IsEmpty(arr) Then
        p.GetPictureToFile arr, 104, bmpPath
        Equal ReadFile(bmpPath), file, "bitmap file from the byte array"
    End If
    fso.DeleteFile bmpPath
    fso.DeleteFile picturePath

    p.Free
    On Error Resume Next
    Dim v
    v = p.Version
    Equal Hex(Err.Number), "80004005", "Version after Free fails with E_FAIL"
    Err.Clear
End Sub

RunMain
Finish
