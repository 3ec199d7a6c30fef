' A tour of Tamrix: for every file it is given, names the Susie plug-in that reads it and
' the picture's size, converts pictures to bitmap files, lists archives and converts the
' pictures inside them, then writes a contact sheet (index.html) of everything it converted
' and every failure.
'
'   cscript //nologo tour.vbs [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/isolate] <file or folder>...
'
' /plugins: a folder of Susie plug-ins searched besides the usual places (the current
' folder, the system folder and Susie's own plug-in folder); /out: where the bitmap files
' and index.html go (default: a "tamrix-tour" folder in the temporary folder); /to: a file
' type (png, jpg, ...) every picture is also converted to by the plug-ins, which the
' contact sheet then shows; /isolate: the plug-ins run in a helper process, so that one that
' crashes or hangs only fails its file.
Option Explicit

Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
' A path made absolute. (Wine 8's GetAbsolutePathName drops the last part of a full path
' whose folder does not exist yet, so full paths are taken as they are.)
Function Absolute(path)
    If Mid(path, 2, 2) = ":\" Or Left(path, 2) = "\\" Then
        Absolute = path
    Else
        Absolute = fso.GetAbsolutePathName(path)
    End If
End Function

Dim pluginFolder : pluginFolder = ""
Dim toType : toType = ""
Dim isolate : isolate = False
Dim outFolder : outFolder = fso.BuildPath(fso.GetSpecialFolder(2).Path, "tamrix-tour")
Dim inputs : Set inputs = CreateObject("Scripting.Dictionary")
Dim a, arg
For a = 0 To WScript.Arguments.Count - 1
    arg = WScript.Arguments(a)
    If LCase(Left(arg, 9)) = "/plugins:" Then
        pluginFolder = Absolute(Mid(arg, 10))
    ElseIf LCase(Left(arg, 5)) = "/out:" Then
        outFolder = Absolute(Mid(arg, 6))
    ElseIf LCase(Left(arg, 4)) = "/to:" Then
        toType = LCase(Mid(arg, 5))
        If Left(toType, 1) = "." Then toType = Mid(toType, 2)
    ElseIf LCase(arg) = "/isolate" Then
        isolate = True
    Else
        inputs.Add inputs.Count, Absolute(arg)
    End If
Next
If inputs.Count = 0 Then
    WScript.Echo "usage: cscript //nologo tour.vbs [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/isolate] <file or folder>..."
    WScript.Quit 2
End If

' The contact sheet's picture box, in pixels, and its style.
Const BOX = 160
Dim sheetStyle : sheetStyle = "body{font-family:sans-serif;margin:1em}" & _
    ".sheet{display:grid;grid-template-columns:repeat(auto-fill,minmax(" & (BOX + 20) & "px,1fr));gap:10px}" & _
    "figure{margin:0;padding:8px;border:1px solid #ccc;min-width:0;text-align:center}" & _
    "figure img{display:block;margin:auto;width:" & BOX & "px;height:" & BOX & "px;object-fit:contain;background:#eee}" & _
    "img.small{image-rendering:pixelated}" & _
    "figcaption,td{font-size:small;overflow-wrap:anywhere}" & _
    "table{border-collapse:collapse;table-layout:fixed;width:100%}" & _
    "th,td{border:1px solid #ccc;padding:4px;text-align:left;vertical-align:top}"

Function HexOf(n)
    HexOf = "0x" & Right("00000000" & Hex(n), 8)
End Function

Function Pad(s, n)
    s = CStr(s)
    If Len(s) > n Then
        Pad = Left(s, n - 1) & "~"
    Else
        Pad = s & Space(n - Len(s))
    End If
End Function

Function Html(s)
    Html = Replace(Replace(Replace(Replace(CStr(s), "&", "&amp;"), "<", "&lt;"), ">", "&gt;"), """", "&quot;")
End Function

' A file name as a link: the characters that mean something in a URL escaped, the others
' left to the browser.
Function Link(name)
    Link = Html(Replace(Replace(Replace(name, "%", "%25"), "#", "%23"), " ", "%20"))
End Function

Sub MakeFolders(path)
    If fso.FolderExists(path) Then Exit Sub
    Dim parent : parent = fso.GetParentFolderName(path)
    If parent <> "" And Not fso.FolderExists(parent) Then MakeFolders parent
    fso.CreateFolder path
End Sub

' ---- The plug-ins -------------------------------------------------------------------------
Dim host : Set host = CreateObject("Tamrix.TamrixHost.1")
'' Flag 16 isolates the plug-ins; without a folder of its own the search names the temporary
' folder, which holds none.
If isolate Then
    If pluginFolder <> "" Then host.Init 16 + 15, pluginFolder Else host.Init 16 + 15, fso.GetSpecialFolder(2).Path
ElseIf pluginFolder <> "" Then
    host.Init 0, pluginFolder
End If
Dim note : note = ""
If pluginFolder <> "" Then note = " (searched " & pluginFolder & " too)"
WScript.Echo "Tamrix tour: " & host.Count & " plug-in(s)" & note
Dim plugin
For Each plugin In host
    WScript.Echo "  " & plugin.Version & "  " & plugin.About
Next
If host.Count = 0 Then
    WScript.Echo "No Susie plug-ins found: give a folder of them with /plugins:<folder>."
    WScript.Quit 1
End If

' ---- The files ----------------------------------------------------------------------------
Dim files : Set files = CreateObject("Scripting.Dictionary")
Sub AddInput(path)
    Dim f, found, names, j, k, t
    If fso.FolderExists(path) Then
        Set found = CreateObject("Scripting.Dictionary")
        For Each f In fso.GetFolder(path).Files
            found.Add found.Count, f.Path
        Next
        names = found.Items
        For j = 0 To UBound(names) - 1   ' in name order, as the JScript tour lists them
            For k = j + 1 To UBound(names)
                If names(k) < names(j) Then t = names(j) : names(j) = names(k) : names(k) = t
            Next
        Next
        For j = 0 To UBound(names)
            files.Add files.Count, names(j)
        Next
    ElseIf fso.FileExists(path) Then
        files.Add files.Count, path
    Else
        WScript.Echo "not found: " & path
    End If
End Sub
Dim key
For Each key In inputs.Keys
    AddInput inputs(key)
Next
MakeFolders outFolder

Dim readCount, pictureCount, failureCount
readCount = 0 : pictureCount = 0 : failureCount = 0
Dim sheet : Set sheet = CreateObject("Scripting.Dictionary")        ' the pictures the contact sheet shows
Dim failures : Set failures = CreateObject("Scripting.Dictionary")  ' and the failures it lists
Dim usedNames : Set usedNames = CreateObject("Scripting.Dictionary")

' A new name in the output folder for base with the extension fileType.
Function OutputName(base, fileType)
    Dim clean, name, n, ch
    clean = base
    For Each ch In Array("\", "/", ":", "*", "?", """", "<", ">", "|")
        clean = Replace(clean, ch, "_")
    Next
    name = clean & "." & fileType
    n = 2
    Do While usedNames.Exists(LCase(name))
        name = clean & "-" & n & "." & fileType
        n = n + 1
    Loop
    usedNames.Add LCase(name), True
    OutputName = name
End Function

' A plug-in's name: its about text up to the first ":" or "(".
Function ShortName(spi)
    Dim about, cut, paren
    about = CStr(spi.About)
    cut = InStr(about, ":")
    paren = InStr(about, "(")
    If paren > 0 And (cut = 0 Or paren < cut) Then cut = paren
    If cut > 1 Then about = Left(about, cut - 1)
    ShortName = RTrim(about)
End Function

Sub Row(label, pluginText, what, outText)
    WScript.Echo "    " & Pad(label, 32) & "  " & Pad(pluginText, 28) & "  " & Pad(what, 20) & "  " & outText
End Sub

Sub Failed(label, pluginText, what, code)
    failureCount = failureCount + 1
    failures.Add failures.Count, Array(label, pluginText, what, HexOf(code))
End Sub

' Converts one picture, from a file (src a file name, at offset 0) or from memory (src an
' address, with its length), with the plug-in that accepted it; with /to: also to that type
' through the manager, which the contact sheet then shows. The size comes from the plug-in's
' picture facts, without decoding.
Sub Convert(spi, src, lengthOrOffset, label)
    Dim name, dest, what, facts, shown, code
    name = OutputName(label, "bmp")
    dest = fso.BuildPath(outFolder, name)
    On Error Resume Next
    Set facts = spi.GetPictureProperties(src, lengthOrOffset)
    If Err.Number = 0 Then spi.GetPictureToFile src, lengthOrOffset, dest
    If Err.Number <> 0 Then
        code = Err.Number
        On Error GoTo 0
        Failed label, ShortName(spi), "cannot decode", code
        Row label, ShortName(spi), "cannot decode", HexOf(code)
        Exit Sub
    End If
    On Error GoTo 0
    what = facts.Width & " x " & facts.Height & ", " & facts.ColorDepth & " bits"
    pictureCount = pictureCount + 1
    shown = name
    If toType <> "" Then
        shown = OutputName(label, toType)
        On Error Resume Next
        host.ConvertFile src, lengthOrOffset, fso.BuildPath(outFolder, shown)
        code = Err.Number
        On Error GoTo 0
        If code <> 0 Then
            Failed label, ShortName(spi), "cannot convert to " & toType, code
            shown = name
        End If
    End If
    If shown = name Then Row label, ShortName(spi), what, name Else Row label, ShortName(spi), what, name & ", " & shown
    sheet.Add sheet.Count, Array(shown, label, what, ShortName(spi), facts.Width < BOX And facts.Height < BOX)
End Sub

Function DateText(d)
    If d = 0 Then
        DateText = ""
    Else
        DateText = Year(d) & "-" & Right("0" & Month(d), 2) & "-" & Right("0" & Day(d), 2) & " " & _
                   Right("0" & Hour(d), 2) & ":" & Right("0" & Minute(d), 2)
    End If
End Function

Sub OpenArchive(spi, path, label)
    Dim list, entry, data, reader, code, what
    On Error Resume Next
    Set list = spi.GetArchiveInfo(path, 0)
    code = Err.Number
    what = Err.Description
    On Error GoTo 0
    If code <> 0 Then
        If what = "" Then what = "failed"
        Failed label, ShortName(spi), what, code
        Row label, ShortName(spi), "failed", HexOf(code) & " " & what
        Exit Sub
    End If
    Row label, ShortName(spi), list.Count & " member(s)", ""
    For Each entry In list
        WScript.Echo "      - " & Pad(entry.Path & entry.FileName, 40) & Right(Space(10) & entry.FileSize, 10) & _
                     " bytes  " & DateText(entry.TimeStamp)
        If entry.FileSize > 0 Then
            On Error Resume Next
            Set data = spi.GetFile(path, entry)
            code = Err.Number
            On Error GoTo 0
            If code <> 0 Then
                Failed label & "/" & entry.Path & entry.FileName, ShortName(spi), "cannot extract", code
                WScript.Echo "        cannot extract (" & HexOf(code) & ")"
            Else
                ' The member is in memory: its address goes to the manager and to the
                ' picture plug-in as it is, without a temporary file. A server that hands
                ' out no address (Tamrix64.dll, or Tamrix.dll serving a 64-bit client from
                ' its surrogate) says so with an error, and the member is written to a
                ' temporary file under its own name.
                Dim src, length, copy
                copy = ""
                length = entry.FileSize
                On Error Resume Next
                src = data.Buffer
                code = Err.Number
                On Error GoTo 0
                If code <> 0 Then
                    copy = fso.BuildPath(fso.GetSpecialFolder(2).Path, fso.GetTempName())
                    fso.CreateFolder copy
                    src = fso.BuildPath(copy, entry.FileName)
                    length = 0
                    On Error Resume Next
                    spi.GetFileToFile path, entry, src
                    code = Err.Number
                    On Error GoTo 0
                    If code <> 0 Then
                        Failed label & "/" & entry.Path & entry.FileName, ShortName(spi), "cannot extract", code
                        WScript.Echo "        cannot extract (" & HexOf(code) & ")"
                    End If
                End If
                If code = 0 Then
                    On Error Resume Next
                    If copy = "" Then
                        Set reader = host.QuerySpi(entry.FileName, src)
                    Else
                        Set reader = host.QuerySpiFromFile(src, 0)
                    End If
                    code = Err.Number
                    On Error GoTo 0
                    If code <> 0 Then
                        WScript.Echo "        not a picture any plug-in reads"
                    ElseIf reader.Version <> "00IN" Then
                        WScript.Echo "        an archive inside an archive; not opened"
                    Else
                        Convert reader, src, length, label & "/" & entry.FileName
                    End If
                    Set reader = Nothing
                End If
                If copy <> "" Then
                    On Error Resume Next
                    fso.DeleteFolder copy, True
                    On Error GoTo 0
                End If
            End If
        End If
    Next
End Sub

WScript.Echo ""
WScript.Echo "    " & Pad("file", 32) & "  " & Pad("read by", 28) & "  " & Pad("picture", 20) & "  bitmap file"
Dim n, path, label, spi, code
For n = 0 To files.Count - 1
    path = files(n)
    label = fso.GetFileName(path)
    WScript.Echo "[" & (n + 1) & "/" & files.Count & "] " & label
    readCount = readCount + 1
    On Error Resume Next
    Set spi = host.QuerySpiFromFile(path, 0)
    code = Err.Number
    On Error GoTo 0
    If code <> 0 Then
        Row label, "(none)", "no plug-in reads it", ""
    ElseIf spi.Version = "00AM" Then
        OpenArchive spi, path, label
    Else
        Convert spi, path, 0, label
    End If
Next

' ---- The contact sheet --------------------------------------------------------------------
' The summary, the failures, then every picture in a box of one size: scaled down when
' larger, scaled up with its pixels kept sharp when smaller, linked to its bitmap file.
Dim page, item, cls
Set page = fso.CreateTextFile(fso.BuildPath(outFolder, "index.html"), True, True)
page.WriteLine "<!DOCTYPE html>"
page.WriteLine "<html><head><meta charset=""utf-16""><title>Tamrix tour</title><style>"
page.WriteLine sheetStyle
page.WriteLine "</style></head><body><h1>Tamrix tour</h1>"
page.WriteLine "<p>" & readCount & " file(s) read, " & pictureCount & " picture(s) decoded, " & _
               failureCount & " failure(s).</p>"
If failures.Count > 0 Then
    page.WriteLine "<h2>Failures</h2><table><tr><th>File</th><th>Plug-in</th><th>Code</th><th>What</th></tr>"
    For Each key In failures.Keys
        item = failures(key)
        page.WriteLine "<tr><td>" & Html(item(0)) & "</td><td>" & Html(item(1)) & "</td><td>" & item(3) & _
                       "</td><td>" & Html(item(2)) & "</td></tr>"
    Next
    page.WriteLine "</table>"
End If
page.WriteLine "<h2>Pictures</h2><div class=""sheet"">"
For Each key In sheet.Keys
    item = sheet(key)
    cls = ""
    If item(4) Then cls = " class=""small"""
    page.WriteLine "<figure><a href=""" & Link(item(0)) & """><img" & cls & " src=""" & Link(item(0)) & """ alt=""" & _
                   Html(item(1)) & """></a><figcaption><b>" & Html(item(1)) & "</b><br>" & Html(item(2)) & "<br>" & _
                   Html(item(3)) & "</figcaption></figure>"
Next
page.WriteLine "</div></body></html>"
page.Close

WScript.Echo ""
WScript.Echo "Output: " & outFolder & " (open index.html in a browser)"
WScript.Echo readCount & " file(s) read, " & pictureCount & " picture(s) decoded, " & failureCount & " failure(s)"
If failureCount > 0 Then WScript.Quit 1
WScript.Quit 0
