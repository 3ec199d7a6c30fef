' A 64-bit VBScript client of Tamrix64.dll: the manager lists bundled and test plug-ins of
' both kinds with For Each (64-bit .sph in process, 32-bit .spi from the 32-bit server in the
' DLL surrogate), chooses one per file, decodes through each kind into memory, a bitmap file
' and a picture object, lists and extracts archives through each kind, builds the filter.
' Byte arrays go both ways: GetBytes copies a block out, the same array goes back in as a
' source. The plug-ins are the other half of those of host64.js: each bundled and test
' plug-in is used as .sph in one script and as .spi in the other.
' Arguments: the 64-bit test plug-ins' folder, the 32-bit ones', the 64-bit bundled
' plug-ins' folder, the 32-bit ones', the samples' folder.
Dim sphDir, spiDir, bundled64, bundled32, samples, folder
Const EXCEEDS_32_BITS = &H80070216
Const ADDRESS_ACROSS_PROCESSES = &H800701E7

' The error number of reading a block's Buffer.
Function BufferFailure(heap)
    Dim ignored
    On Error Resume Next
    ignored = heap.Buffer
    BufferFailure = Err.Number
    Err.Clear
End Function

Sub Main()
    Dim host, p, n, listed, spi, pixels, info, bmpPath, bmp, qqaPath, pngPath, echoPath, arr, picture
    Dim zip, ax, list, entry, heap, out, qqzPath, qqz, readme, data, member, filter, err1

    Equal CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), "AMD64", _
          "the script host is the 64-bit one"
    fso.CreateFolder folder
    fso.CopyFile sphDir & "\qqa.sph", folder & "\"
    fso.CopyFile spiDir & "\qqz.spi", folder & "\"
    fso.CopyFile bundled32 & "\iftamrix.spi", folder & "\"
    fso.CopyFile bundled64 & "\axtamrix.sph", folder & "\"

    Set host = CreateObject("Tamrix.TamrixHost.1")
    Equal TypeName(host), "ITamrixHost4", "TypeName"
    host.Init 7, folder
    Check host.Count >= 4, "Count takes in the folder's four plug-ins: " & host.Count
    n = 0
    listed = ""
    For Each p In host
        n = n + 1
        listed = listed & "|" & p.Version & " " & p.PluginInfo(2)
    Next
    Equal n, host.Count, "For Each gives every plug-in"
    Check InStr(listed, "|00IN *.qqa") > 0 And InStr(listed, "|00AM *.qqz") > 0 And _
          InStr(listed, "|00IN *.png") > 0 And InStr(listed, "|00AM *.zip") > 0, "the four plug-ins: " & listed

    ' The 64-bit test plug-in's QQA1 picture, 40 x 20 pixels of 24 bits.
    qqaPath = temp & "\host64_vbs.qqa"
    WriteFile qqaPath, "QQA1" & LE(40, 4) & LE(20, 4) & LE(24, 2) & String(90, Chr(0))
    Set spi = host.QuerySpiFromFile(qqaPath, 0)
    Equal spi.PluginInfo(2), "*.qqa", "QuerySpiFromFile chooses the QQA plug-in"
    Set pixels = spi.GetPicture(qqaPath, 0, info)
    Equal info.Length, 40, "information block: the header alone"
    Equal pixels.Length, 120 * 20, "pixels: every row"
    ' (Wine 8's VBScript has neither UBound nor LenB of a byte array: the arrays are checked by
    ' their type and by going back in as sources.)
    arr = pixels.GetBytes()
    Equal VarType(arr), vbArray + vbByte, "GetBytes: a byte array"
    Equal Hex(BufferFailure(pixels)), Hex(EXCEEDS_32_BITS), "Buffer: no long holds a 64-bit address"
    ' An echoed picture's bytes out as an array and in again as a memory source.
    echoPath = temp & "\host64_vbs_echo.qqa"
    WriteFile echoPath, "QQA1" & LE(40, 4) & LE(20, 4) & LE(24, 2) & String(26, Chr(0)) & LE(8, 4) & String(60, Chr(0))
    arr = spi.GetPicture(echoPath, 0, info).GetBytes()
    Equal VarType(arr), vbArray + vbByte, "GetBytes: a byte array"
    Equal spi.GetPicture(arr, 104, info).Length, 120 * 20, "the array, back as a source, decodes"
    Equal host.QuerySpi("", arr).PluginInfo(2), "*.qqa", "QuerySpi probes the array's bytes"
    fso.DeleteFile echoPath
    bmpPath = temp & "\host64_vbs.bmp"
    spi.GetPictureToFile qqaPath, 0, bmpPath
    bmp = ReadFile(bmpPath)
    Equal Left(bmp, 2), "BM", "a bitmap file"
    Equal At(bmp, 18, 4) & "x" & At(bmp, 22, 4) & "x" & At(bmp, 28, 2), "40x20x24", "its width, height and depth"
    fso.DeleteFile bmpPath
    Set picture = host.GetPicture(qqaPath, 0)
    Equal picture.Type, 1, "a picture object from the 64-bit plug-in"
    On Error Resume Next
    Set pixels = spi.GetPicture(CLng(65536), 104, info)
    err1 = Err.Number
    Err.Clear
    On Error GoTo 0
    Equal Hex(err1), Hex(EXCEEDS_32_BITS), "an integer address as a source fails"

    ' A PNG sample through the 32-bit bundled picture plug-in, served from the surrogate.
    pngPath = samples & "\pictures\palette.png"
    Set spi = host.QuerySpiFromFile(pngPath, 0)
    Equal spi.PluginInfo(2), "*.png", "QuerySpiFromFile chooses the bundled picture plug-in"
    Set pixels = spi.GetPicture(pngPath, 0, info)
    Equal pixels.Length, 36 * 21, "palette.png: 33 x 21 pixels of 8 bits"
    arr = pixels.GetBytes()
    Equal VarType(arr), vbArray + vbByte, "GetBytes from the other process"
    Equal Hex(BufferFailure(pixels)), Hex(ADDRESS_ACROSS_PROCESSES), "Buffer: an address of the surrogate"
    spi.GetPictureToFile pngPath, 0, bmpPath
    bmp = ReadFile(bmpPath)
    Equal At(bmp, 18, 4) & "x" & At(bmp, 22, 4) & "x" & At(bmp, 28, 2), "33x21x8", "palette.png as a bitmap file"
    Equal At(bmp, 10, 4), 14 + info.Length, "the information block is the file's header and colour table"
    fso.DeleteFile bmpPath
    Set picture = host.GetPicture(pngPath, 0)
    Equal picture.Type, 1, "a picture object, made here, from the 32-bit plug-in"
    Check Abs(picture.Width / picture.Height - 33 / 21) < 0.01, "with the picture's proportions"

    ' Plug-in objects the client creates itself are this server's: 64-bit plug-ins only.
    Set p = CreateObject("Tamrix.SusiePlugin.1")
    Equal p.Load(sphDir & "\qqz.sph"), True, "Load of a .sph"
    Equal p.Version, "00AM", "Version after Load"
    p.Free
    Equal p.Load(spiDir & "\qqz.spi"), False, "Load of a 32-bit .spi"

    ' The ZIP sample through the 64-bit bundled archive plug-in.
    zip = samples & "\archives\pictures.zip"
    Set ax = host.QuerySpiFromFile(zip, 0)
    Equal ax.PluginInfo(2), "*.zip", "QuerySpiFromFile chooses the archive plug-in"
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
    out = temp & "\host64_vbs_rgb.png"
    If fso.FileExists(out) Then fso.DeleteFile out
    ax.GetFileToFile zip, entry, out
    Equal fso.GetFile(out).Size, fso.GetFile(samples & "\pictures\rgb.png").Size, "GetFileToFile: the member's size"
    Equal host.QuerySpiFromFile(out, 0).GetPicture(out, 0, info).Length, 112 * 23, _
          "the extracted PNG decodes through the 32-bit plug-in"
    fso.DeleteFile out

    ' The 32-bit test plug-in's QQZ1 archive: the member's bytes out through GetBytes, in
    ' again as a memory source, written to a file and compared.
    data = "Hello from a 64-bit script."
    qqzPath = temp & "\host64_vbs.qqz"
    WriteFile qqzPath, "QQZ1" & LE(1, 4) & String(16, Chr(0)) & Field("QQZstore", 8) & Field("docs\", 40) & _
              Field("readme.txt", 40) & LE(Len(data), 4) & LE(0, 4) & LE(0, 4) & data
    Set qqz = host.QuerySpiFromFile(qqzPath, 0)
    Equal qqz.PluginInfo(2), "*.qqz", "QuerySpiFromFile chooses the QQZ plug-in"
    Set readme = qqz.GetArchiveInfo(qqzPath, 0).Item(1)
    Equal readme.FileName, "readme.txt", "the QQZ1 listing"
    Equal qqz.GetFileInfo(qqzPath, 0, "docs\readme.txt").FileSize, Len(data), "GetFileInfo looks the member up by name"
    member = qqz.GetFile(qqzPath, readme).GetBytes()
    out = temp & "\host64_vbs_readme.txt"
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

sphDir = WScript.Arguments(0)
spiDir = WScript.Arguments(1)
bundled64 = WScript.Arguments(2)
bundled32 = WScript.Arguments(3)
samples = WScript.Arguments(4)
folder = temp & "\tamrix_host64_vbs_" & Replace(fso.GetTempName(), ".", "_")

RunMain
On Error Resume Next
fso.DeleteFolder folder, True
On Error GoTo 0
Finish
