' A 64-bit VBScript client of the 32-bit server in its DLL surrogate: the manager lists
' bundled and test plug-ins (32-bit .spi files) with For Each, chooses one per file, decodes
' through each picture plug-in into memory and into a bitmap file, lists and extracts
' archives, builds the filter. Byte arrays cross the processes both ways: GetBytes copies a
' block out, and the same array goes back in as a source.
' Arguments: the test plug-ins' folder, the bundled plug-ins' folder, the samples' folder.
Dim spiDir, bundledDir, samples, folder
Const ADDRESS_ACROSS_PROCESSES = &H800701E7

Sub Main()
    Dim host, p, n, listed, spi, pixels, info, bmpPath, bmp, qqaPath, pngPath, echoPath, textPath, arr, fromArray
    Dim zip, ax, list, entry, heap, out, qqzPath, qqz, readme, data, member, filter, err1

    Equal CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), "AMD64", _
          "the script host is the 64-bit one"
    fso.CreateFolder folder
    fso.CopyFile spiDir & "\qqa.spi", folder & "\"
    fso.CopyFile spiDir & "\qqz.spi", folder & "\"
    fso.CopyFile bundledDir & "\iftamrix.spi", folder & "\"
    fso.CopyFile bundledDir & "\axtamrix.spi", folder & "\"

    Set host = CreateObject("Tamrix.TamrixHost.1")
    Equal TypeName(host), "ITamrixHost4", "TypeName through the proxy"
    host.Init 7, folder
    Check host.Count >= 4, "Count takes in the folder's four plug-ins: " & host.Count
    n = 0
    listed = ""
    For Each p In host
        n = n + 1
        If n <= 4 Then listed = listed & "|" & p.Version & " " & p.PluginInfo(2)
    Next
    Equal n, host.Count, "For Each gives every plug-in"
    Check InStr(listed, "|00IN *.qqa") > 0 And InStr(listed, "|00AM *.qqz") > 0 And _
          InStr(listed, "|00IN *.png") > 0 And InStr(listed, "|00AM *.zip") > 0, "the four plug-ins: " & listed

    ' The test plug-in's QQA1 picture, 40 x 20 pixels of 24 bits, into memory and a bitmap.
    qqaPath = temp & "\surrogate_vbs.qqa"
    WriteFile qqaPath, "QQA1" & LE(40, 4) & LE(20, 4) & LE(24, 2) & String(90, Chr(0))
    Set spi = host.QuerySpiFromFile(qqaPath, 0)
    Equal spi.PluginInfo(2), "*.qqa", "QuerySpiFromFile chooses the QQA plug-in"
    Set pixels = spi.GetPicture(qqaPath, 0, info)
    Equal TypeName(info), "ISpiLocalHeap", "the information block comes back by reference"
    Equal info.Length, 40, "information block: the header alone"
    Equal pixels.Length, 120 * 20, "pixels: every row"
    ' A picture flagged to echo comes back with its own header as the pixels: those bytes
    ' out as an array, and the same array in again as a memory source, decode to the picture.
    echoPath = temp & "\surrogate_vbs_echo.qqa"
    WriteFile echoPath, "QQA1" & LE(40, 4) & LE(20, 4) & LE(24, 2) & String(26, Chr(0)) & LE(8, 4) & String(60, Chr(0))
    arr = spi.GetPicture(echoPath, 0, info).GetBytes()
    Equal VarType(arr), vbArray + vbByte, "GetBytes: a byte array"
    Equal spi.GetPicture(arr, 104, info).Length, 120 * 20, "the array, back as a source, decodes"
    Equal info.Length, 40, "and its information block"
    Equal host.QuerySpi("", arr).PluginInfo(2), "*.qqa", "QuerySpi probes the array's bytes"
    fso.DeleteFile echoPath

    ' The picture's text, its preview, and the plug-in's capabilities.
    textPath = temp & "\surrogate_vbs_text.qqa"
    WriteFile textPath, "QQA1" & LE(40, 4) & LE(20, 4) & LE(24, 2) & String(46, Chr(0)) & Field("text from afar", 32) & _
              String(12, Chr(0))
    Equal spi.GetPictureText(textPath, 0), "text from afar", "GetPictureText"
    Check spi.CanPreview And spi.CanConfigDlg, "CanPreview and CanConfigDlg"
    Check spi.GetPreview(textPath, 0, info).Length > 0, "GetPreview"
    fso.DeleteFile textPath

    ' A plug-in object the client creates itself, bound and freed.
    Set p = CreateObject("Tamrix.SusiePlugin.1")
    Equal p.Load(spiDir & "\qqz.spi"), True, "Load"
    Equal p.Version, "00AM", "Version after Load"
    p.Free
    Equal p.Load(folder & "\missing.spi"), False, "Load of a missing file"
    bmpPath = temp & "\surrogate_vbs.bmp"
    spi.GetPictureToFile qqaPath, 0, bmpPath
    bmp = ReadFile(bmpPath)
    Equal Left(bmp, 2), "BM", "a bitmap file"
    Equal At(bmp, 18, 4) & "x" & At(bmp, 22, 4) & "x" & At(bmp, 28, 2), "40x20x24", "its width, height and depth"
    fso.DeleteFile bmpPath

    ' A PNG sample through the bundled picture plug-in.
    pngPath = samples & "\pictures\palette.png"
    Set spi = host.QuerySpiFromFile(pngPath, 0)
    Equal spi.PluginInfo(2), "*.png", "QuerySpiFromFile chooses the bundled picture plug-in"
    Equal spi.GetPicture(pngPath, 0, info).Length, 36 * 21, "palette.png: 33 x 21 pixels of 8 bits"
    spi.GetPictureToFile pngPath, 0, bmpPath
    bmp = ReadFile(bmpPath)
    Equal At(bmp, 18, 4) & "x" & At(bmp, 22, 4) & "x" & At(bmp, 28, 2), "33x21x8", "palette.png as a bitmap file"
    Equal At(bmp, 10, 4), 14 + info.Length, "the information block is the file's header and colour table"
    fso.DeleteFile bmpPath

    ' Addresses do not cross: Buffer and an integer source fail clearly.
    On Error Resume Next
    n = pixels.Buffer
    err1 = Err.Number
    Err.Clear
    On Error GoTo 0
    Equal Hex(err1), Hex(ADDRESS_ACROSS_PROCESSES), "Buffer fails"
    On Error Resume Next
    Set fromArray = spi.GetPicture(CLng(65536), 104, info)
    err1 = Err.Number
    Err.Clear
    On Error GoTo 0
    Equal Hex(err1), Hex(ADDRESS_ACROSS_PROCESSES), "an integer address as a source fails"

    ' The ZIP sample through the bundled archive plug-in.
    zip = samples & "\archives\pictures.zip"
    Set ax = host.QuerySpiFromFile(zip, 0)
    Equal ax.Version, "00AM", "QuerySpiFromFile chooses the archive plug-in"
    Set list = ax.GetArchiveInfo(zip, 0)
    n = 0
    For Each entry In list
        n = n + 1
    Next
    Equal n, list.Count, "For Each over the listing"
    Equal list.Item(3).Path & list.Item(3).FileName, "sub\grey.pgm", "Item(3)"
    Set entry = list.Item(1)
    Set heap = ax.GetFile(zip, entry)
    Equal heap.Length, entry.FileSize, "GetFile into memory"
    out = temp & "\surrogate_vbs_rgb.png"
    If fso.FileExists(out) Then fso.DeleteFile out
    ax.GetFileToFile zip, entry, out
    Equal fso.GetFile(out).Size, fso.GetFile(samples & "\pictures\rgb.png").Size, "GetFileToFile: the member's size"
    Equal host.QuerySpiFromFile(out, 0).GetPicture(out, 0, info).Length, 112 * 23, "the extracted PNG decodes"
    fso.DeleteFile out

    ' The test plug-in's QQZ1 archive: the member into memory, its bytes out as an array and
    ' in again as a memory source, written to a file and compared.
    data = "Hello from a 64-bit script."
    qqzPath = temp & "\surrogate_vbs.qqz"
    WriteFile qqzPath, "QQZ1" & LE(1, 4) & String(16, Chr(0)) & Field("QQZstore", 8) & Field("docs\", 40) & _
              Field("readme.txt", 40) & LE(Len(data), 4) & LE(0, 4) & LE(0, 4) & data
    Set qqz = host.QuerySpiFromFile(qqzPath, 0)
    Set readme = qqz.GetArchiveInfo(qqzPath, 0).Item(1)
    Equal readme.FileName, "readme.txt", "the QQZ1 listing"
    Equal qqz.GetFileInfo(qqzPath, 0, "docs\readme.txt").FileSize, Len(data), "GetFileInfo looks the member up by name"
    member = qqz.GetFile(qqzPath, readme).GetBytes()
    out = temp & "\surrogate_vbs_readme.txt"
    qqz.GetFileToFile member, readme, out
    Equal ReadFile(out), data, "the member's bytes, out through GetBytes and back in"
    qqz.GetFileToFile qqzPath, readme, out
    Equal ReadFile(out), data, "GetFileToFile from the archive file"
    fso.DeleteFile out

    filter = host.GetFileFilter(0)
    Check Left(filter, 11) = "All images" & Chr(0), "filter starts with All images"
    Check InStr(filter, "*.qqa") > 0 And InStr(filter, "*.qqz") > 0 And InStr(filter, "*.png") > 0 And _
          InStr(filter, "*.zip") > 0, "the filter has every plug-in's patterns"
    Equal Len(host.GetFileFilter(4)), 12, "no kind"

    fso.DeleteFile qqaPath
    fso.DeleteFile qqzPath
End Sub

spiDir = WScript.Arguments(0)
bundledDir = WScript.Arguments(1)
samples = WScript.Arguments(2)
folder = temp & "\tamrix_surrogate_vbs_" & Replace(fso.GetTempName(), ".", "_")

RunMain
On Error Resume Next
fso.DeleteFolder folder, True
On Error GoTo 0
Finish
