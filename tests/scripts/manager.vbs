' A script creates the manager, points it at a folder of test plug-ins, walks the plug-ins
' with For Each, asks which plug-in reads a file, gets a picture object and builds the file
' filter. Argument 0: the test plug-ins' folder.
Dim spiDir, folder
spiDir = WScript.Arguments(0)
folder = temp & "\tamrix_manager_vbs_" & Replace(fso.GetTempName(), ".", "_")

Sub Main()
    Dim host, p, n, versions, firstAbout, spi, pic, filter, parts, pairs, picturePath
    fso.CreateFolder folder
    fso.CopyFile spiDir & "\qqa.spi", folder & "\"
    fso.CopyFile spiDir & "\qqz.spi", folder & "\"

    Set host = CreateObject("Tamrix.TamrixHost.1")
    host.Init 0, folder
    ' The folder's plug-ins come first; the system's and the viewer's folders may add more.
    Check host.Count >= 2, "Count takes in the folder's two plug-ins"
    n = 0
    versions = ""
    For Each p In host
        n = n + 1
        If n = 1 Then firstAbout = p.About
        If n <= 2 Then versions = versions & p.Version & ";"
    Next
    Equal n, host.Count, "For Each gives every plug-in"
    Check versions = "00IN;00AM;" Or versions = "00AM;00IN;", "a picture and an archive plug-in: " & versions
    Equal host.Item(1).About, firstAbout, "Item(1) is the first element"
    Equal host(1).About, firstAbout, "Item is the default member"

    ' A QQA1 picture, 30 x 10 pixels of 24 bits, 16 bytes into its file.
    picturePath = temp & "\manager_script_vbs.qqa"
    WriteFile picturePath, String(16, "J") & "QQA1" & LE(30, 4) & LE(10, 4) & LE(24, 2) & String(90, Chr(0))
    Equal fso.GetFile(picturePath).Size, 120, "picture file size"
    Set spi = host.QuerySpiFromFile(picturePath, 16)
    Equal spi.Version, "00IN", "QuerySpiFromFile gives the picture plug-in"
    On Error Resume Next
    Set spi = host.QuerySpiFromFile(picturePath, 0)
    Equal Hex(Err.Number), "80004005", "at offset 0 nobody takes it"
    Err.Clear
    On Error GoTo 0

    Set pic = host.GetPicture(picturePath, 16)
    Equal pic.Type, 1, "a bitmap picture object"
    Check pic.Width > 0 And Abs(pic.Width / pic.Height - 3) < 0.01, _
          "its size has the picture's proportions: " & pic.Width & " x " & pic.Height
    Set pic = Nothing

    ' A picture the plug-in finds broken: VBScript's error says it in words too.
    Dim brokenPath : brokenPath = temp & "\manager_script_vbs_broken.qqa"
    WriteFile brokenPath, "QQA1" & LE(30, 4) & LE(10, 4) & LE(24, 2) & String(14, Chr(0)) & LE(3, 4) & String(72, Chr(0))
    On Error Resume Next
    Set pic = host.GetPicture(brokenPath, 0)
    Equal Hex(Err.Number) & " " & Err.Description, "80004005 TamrixHost.GetPicture: qqa.spi could not decode """ & _
          brokenPath & """: broken data (plug-in code 3)", "a failure's description"
    Err.Clear
    On Error GoTo 0
    fso.DeleteFile brokenPath

    ' The picture's facts, late-bound; a type no plug-in writes is refused, nothing written.
    Dim facts : Set facts = host.GetPictureProperties(picturePath, 16)
    Equal facts.Width & "x" & facts.Height & "x" & facts.ColorDepth & "[" & facts.Text & "]", "30x10x24[]", "facts"
    On Error Resume Next
    host.ConvertFile picturePath, 16, temp & "\manager_script_vbs.xyz"
    Equal Hex(Err.Number), "80070032", "no plug-in writes .xyz"
    Err.Clear
    On Error GoTo 0
    Check Not fso.FileExists(temp & "\manager_script_vbs.xyz"), "and nothing is written"

    ' The filter: exactly the folder's plug-ins (flags 7 leave the viewer's folder out).
    host.Init 7, folder
    filter = host.GetFileFilter(0)
    Equal Len(filter), 95, "filter length, NULs included"
    parts = Split(filter, Chr(0))
    Equal parts(0), "All images", "first text"
    pairs = parts(2) & "|" & parts(3) & "|" & parts(4) & "|" & parts(5) & "|" & parts(6) & "|" & parts(7)
    Check pairs = "QQA picture|*.qqa|QQB picture|*.qqb;*.qqc|QQZ archive|*.qqz" Or _
          pairs = "QQZ archive|*.qqz|QQA picture|*.qqa|QQB picture|*.qqb;*.qqc", "pairs: " & pairs
    Equal Len(host.GetFileFilter(1)), 71, "pictures only"
    Equal Len(host.GetFileFilter(2)), 35, "archives only"
    Equal host.GetFileFilter(4), "All images" & Chr(0) & Chr(0), "no kind"
    ' Isolated (flag 16): the same filter, read from the plug-ins in a helper process.
    host.CallTimeout = 5000
    Equal host.CallTimeout, 5000, "the time limit as set"
    host.Init 7 + 16, folder
    Equal Len(host.GetFileFilter(0)), 95, "the same filter from isolated plug-ins"

    Set spi = Nothing
    Set host = Nothing
    fso.DeleteFile picturePath
End Sub

RunMain
On Error Resume Next
fso.DeleteFolder folder, True
On Error GoTo 0
Finish
