' A tour of Tamrix: for every file it is given, names the Susie plug-in that reads it and
' the picture's size, converts pictures to bitmap files, lists archives and converts the
' pictures inside them, then writes a contact sheet (index.html) of everything it converted
' and every failure, each with what went wrong in words.
'
'   cscript //nologo tour.vbs [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/inprocess]
'                             [/timeout:<ms>] [/membertimeout:<ms>] [/probeall] [/codepage:<n>]
'                             <file or folder>...
'
' /plugins: a folder of Susie plug-ins searched besides the usual places (the current
' folder, the system folder and Susie's own plug-in folder); /out: where the bitmap files
' and index.html go (default: a "tamrix-tour" folder in the temporary folder); /to: a file
' type (png, jpg, ...) every picture is also converted to by the plug-ins, which the
' contact sheet then shows. The plug-ins run in a helper process, so that one that crashes
' or hangs fails only its file and the next plug-in that reads the file is asked;
' /inprocess runs them in this process instead (a little faster, but a plug-in that crashes
' ends the tour); /timeout: how long a plug-in may take over one call (default 30000 ms).
'
' Inside an archive only the members whose names match a pattern of the picture plug-ins
' (their file filter) are extracted and asked whether they are pictures; the others are
' listed as "not probed", as a Susie archive plug-in hands out only whole members, and some
' decompress the archive from its start for each one. /probeall asks every member.
' /membertimeout: how long extracting one member may take (default: as /timeout); a member
' that takes longer is a failure and the archive is listed again to go on with the next.
' Only isolated plug-ins can be stopped: in this process the limit is checked afterwards.
' /codepage: the code page of the texts and names of plug-ins that speak only narrow text
' (932 for Japanese ones), when it is not the system's ANSI code page.
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
Dim isolate : isolate = True
Dim timeout : timeout = -1
Dim memberTimeout : memberTimeout = -1
Dim probeAll : probeAll = False
Dim codePage : codePage = -1
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
    ElseIf LCase(Left(arg, 9)) = "/timeout:" Then
        timeout = -2
        If IsNumeric(Mid(arg, 10)) Then timeout = CLng(Mid(arg, 10))
    ElseIf LCase(Left(arg, 15)) = "/membertimeout:" Then
        memberTimeout = -2
        If IsNumeric(Mid(arg, 16)) Then memberTimeout = CLng(Mid(arg, 16))
        If memberTimeout = 0 Then memberTimeout = -2
    ElseIf LCase(arg) = "/probeall" Then
        probeAll = True
    ElseIf LCase(Left(arg, 10)) = "/codepage:" Then
        codePage = -2
        If IsNumeric(Mid(arg, 11)) And InStr(Mid(arg, 11), ".") = 0 Then codePage = CLng(Mid(arg, 11))
        If codePage < 0 Then codePage = -2
    ElseIf LCase(arg) = "/inprocess" Then
        isolate = False
    ElseIf LCase(arg) = "/isolate" Then
        isolate = True   ' the default; kept for older command lines
    Else
        inputs.Add inputs.Count, Absolute(arg)
    End If
Next
If inputs.Count = 0 Or timeout < -1 Or memberTimeout < -1 Or codePage < -1 Then
    WScript.Echo "usage: cscript //nologo tour.vbs [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/inprocess] " & _
                 "[/timeout:<ms>] [/membertimeout:<ms>] [/probeall] [/codepage:<n>] <file or folder>..."
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

' An error in words: its description, or its number when it has none.
Function WordsOf(number, description)
    If description <> "" Then WordsOf = description Else WordsOf = "error " & HexOf(number)
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
' Before Init, so that the plug-ins' texts are read in it from the start.
If codePage >= 0 Then
    On Error Resume Next
    host.CodePage = codePage
    If Err.Number <> 0 Then
        WScript.Echo "/codepage:" & codePage & ": " & WordsOf(Err.Number, Err.Description)
        WScript.Quit 2
    End If
    On Error GoTo 0
End If
' Flag 16 isolates the plug-ins; without a folder of its own the search names the temporary
' folder, which holds none.
Dim flags : If isolate Then flags = 16 + 15 Else flags = 15
If pluginFolder <> "" Then host.Init flags, pluginFolder Else host.Init flags, fso.GetSpecialFolder(2).Path
If timeout >= 0 Then host.CallTimeout = timeout
Dim callTimeout : callTimeout = host.CallTimeout
If memberTimeout < 0 Then memberTimeout = callTimeout

' The names the picture plug-ins read, from their file filter (the combined patterns after
' "All images"), as one expression; Nothing when they give none.
Dim pictureNames : Set pictureNames = Nothing
Sub ReadPictureNames()
    Dim filter, parts, patterns, pattern, alternatives, i, j, ch, expr
    On Error Resume Next
    filter = host.GetFileFilter(1)
    If Err.Number <> 0 Then Exit Sub   ' every member is asked
    On Error GoTo 0
    parts = Split(filter, Chr(0))
    If UBound(parts) < 1 Then Exit Sub
    patterns = Split(parts(1), ";")
    alternatives = ""
    For i = 0 To UBound(patterns)
        pattern = Trim(patterns(i))
        If pattern <> "" Then
            expr = ""
            For j = 1 To Len(pattern)
                ch = Mid(pattern, j, 1)
                If ch = "*" Then
                    expr = expr & ".*"
                ElseIf ch = "?" Then
                    expr = expr & "."
                ElseIf InStr(".+^$|{}()[]\", ch) > 0 Then
                    expr = expr & "\" & ch
                Else
                    expr = expr & ch
                End If
            Next
            If alternatives <> "" Then alternatives = alternatives & "|"
            alternatives = alternatives & expr
        End If
    Next
    If alternatives = "" Then Exit Sub
    Set pictureNames = New RegExp
    pictureNames.Pattern = "^(" & alternatives & ")$"
    pictureNames.IgnoreCase = True
End Sub
ReadPictureNames
Dim note : note = ""
If pluginFolder <> "" Then note = " (searched " & pluginFolder & " too)"
If isolate Then note = note & ", isolated" Else note = note & ", in this process"
WScript.Echo "Tamrix tour: " & host.Count & " plug-in(s)" & note
Dim plugin, text
For Each plugin In host
    On Error Resume Next
    text = plugin.Version & "  " & plugin.About
    If Err.Number <> 0 Then text = "(a plug-in that does not answer: " & WordsOf(Err.Number, Err.Description) & ")"
    On Error GoTo 0
    WScript.Echo "  " & text
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

Dim readCount, pictureCount, memberCount, failureCount, unprobedCount
readCount = 0 : pictureCount = 0 : memberCount = 0 : failureCount = 0 : unprobedCount = 0
Dim sheet : Set sheet = CreateObject("Scripting.Dictionary")        ' the pictures the contact sheet shows
Dim failures : Set failures = CreateObject("Scripting.Dictionary")  ' and the failures it lists
Dim pictures : Set pictures = CreateObject("Scripting.Dictionary")  ' the pictures to convert
Dim usedNames : Set usedNames = CreateObject("Scripting.Dictionary")
' Members of archives are extracted here, to be read by name like any file.
Dim scratch : scratch = fso.BuildPath(fso.GetSpecialFolder(2).Path, fso.GetTempName())
fso.CreateFolder scratch

Function CleanName(base)
    Dim ch
    CleanName = base
    For Each ch In Array("\", "/", ":", "*", "?", """", "<", ">", "|")
        CleanName = Replace(CleanName, ch, "_")
    Next
End Function

' A new name in the output folder for base with the extension fileType.
Function OutputName(base, fileType)
    Dim clean, name, n
    clean = CleanName(base)
    name = clean & "." & fileType
    n = 2
    Do While usedNames.Exists(LCase(name))
        name = clean & "-" & n & "." & fileType
        n = n + 1
    Loop
    usedNames.Add LCase(name), True
    OutputName = name
End Function

' A plug-in's name: its about text up to the first ":" or "(". A plug-in object whose helper
' process has ended answers nothing any more.
Function ShortName(spi)
    Dim about, cut, paren
    On Error Resume Next
    about = CStr(spi.About)
    If Err.Number <> 0 Then
        ShortName = "(plug-in ended)"
        Exit Function
    End If
    On Error GoTo 0
    cut = InStr(about, ":")
    paren = InStr(about, "(")
    If paren > 0 And (cut = 0 Or paren < cut) Then cut = paren
    If cut > 1 Then about = Left(about, cut - 1)
    ShortName = RTrim(about)
End Function

Sub Row(label, pluginText, what, outText)
    WScript.Echo "    " & Pad(label, 32) & "  " & Pad(pluginText, 28) & "  " & Pad(what, 20) & "  " & outText
End Sub

' A failure: a row in the contact sheet's table, and its words on the console.
Sub Failed(label, pluginText, number, description)
    failureCount = failureCount + 1
    failures.Add failures.Count, Array(label, pluginText, HexOf(number), WordsOf(number, description))
    WScript.Echo "      failed (" & HexOf(number) & "): " & WordsOf(number, description)
End Sub

' A picture to convert: from a file, read by the manager's plug-ins in list order (the next
' one is asked when one fails or crashes); its size from the picture's facts, without
' decoding.
Sub AddPicture(src, label, pluginText)
    Dim facts, what, small
    what = "size not known" : small = False
    On Error Resume Next
    Set facts = host.GetPictureProperties(src, 0)
    If Err.Number = 0 Then
        what = facts.Width & " x " & facts.Height & ", " & facts.ColorDepth & " bits"
        small = facts.Width < BOX And facts.Height < BOX
    End If
    On Error GoTo 0
    pictures.Add pictures.Count, Array(src, label, pluginText, what, small)
End Sub

' Converts every picture found to fileType in worker processes, as many at once as the
' machine has cores (ConvertFiles), each walking the plug-ins as the manager does, while the
' progress shows. A job writes <file name>.<type> into one folder, so files of one name go in
' jobs of their own; each file made is then moved to its own name in the output folder.
' Answers, for each picture, Array(its file's name, the failure's code, its words).
Dim jobs : jobs = 0
Function ConvertAll(fileType)
    Dim outcomes, left, done, batch, names, i, key, stage, sources, job, r, idx, result, name, dest, item
    Set outcomes = CreateObject("Scripting.Dictionary")
    left = pictures.Count : done = 0
    Do While left > 0
        Set batch = CreateObject("Scripting.Dictionary")
        Set names = CreateObject("Scripting.Dictionary")
        Set sources = CreateObject("Scripting.Dictionary")
        ' By the dictionary's own keys: a key of another number type would be another key.
        For Each i In pictures.Keys
            item = pictures(i)   ' (Wine's VBScript cannot index an item where it is read)
            key = LCase(fso.GetFileName(item(0)))
            If Not outcomes.Exists(i) And Not names.Exists(key) Then
                names.Add key, True
                batch.Add batch.Count, i
                sources.Add sources.Count, item(0)
                outcomes.Add i, Empty
            End If
        Next
        jobs = jobs + 1
        stage = fso.BuildPath(scratch, "job" & jobs)
        fso.CreateFolder stage
        Set job = host.ConvertFiles(sources.Items, stage, fileType)
        Do While Not job.Wait(500)
            WScript.Echo "  converting to " & fileType & ": " & (done + job.Completed) & " of " & pictures.Count
        Loop
        For Each r In batch.Keys   ' 0, 1, ...: each file's place in the job
            idx = batch(r)
            item = pictures(idx)
            result = job.Result(r)
            If result = 0 Then
                name = OutputName(item(1), fileType)
                dest = fso.BuildPath(outFolder, name)
                If fso.FileExists(dest) Then fso.DeleteFile dest, True
                fso.MoveFile job.Destination(r), dest
                outcomes(idx) = Array(name, 0, "")
            Else
                outcomes(idx) = Array("", result, job.Description(r))
            End If
        Next
        done = done + batch.Count
        left = left - batch.Count
        Set job = Nothing
    Loop
    Set ConvertAll = outcomes
End Function

' Shows one picture converted: its row, and its box on the contact sheet.
Sub Show(item, bitmap, other)
    Dim shown
    If bitmap(1) <> 0 Then
        Row item(1), item(2), "cannot decode", ""
        Failed item(1), item(2), bitmap(1), bitmap(2)
        Exit Sub
    End If
    pictureCount = pictureCount + 1
    shown = bitmap(0)
    If IsArray(other) Then
        If other(1) <> 0 Then Failed item(1) & " (to " & toType & ")", item(2), other(1), other(2) Else shown = other(0)
    End If
    If shown = bitmap(0) Then Row item(1), item(2), item(3), shown Else Row item(1), item(2), item(3), bitmap(0) & ", " & shown
    sheet.Add sheet.Count, Array(shown, item(1), item(3), item(2), item(4))
End Sub

Function DateText(d)
    If d = 0 Then
        DateText = ""
    Else
        DateText = Year(d) & "-" & Right("0" & Month(d), 2) & "-" & Right("0" & Day(d), 2) & " " & _
                   Right("0" & Hour(d), 2) & ":" & Right("0" & Minute(d), 2)
    End If
End Function

' Lists an archive with the first archive plug-in that can (the next one is asked when one
' fails or crashes); then, showing how many members are done of all, extracts those that can
' be pictures with that plug-in into the scratch folder, and takes the pictures among them.
' A member that takes longer than /membertimeout to extract is a failure; as an isolated
' plug-in's helper is ended then, the archive is listed again and the next member taken.
Const TIMEOUT_CODE = &H800705B4   ' HRESULT_FROM_WIN32(ERROR_TIMEOUT): the helper was ended
Function Listing(path, ByRef spi)
    Dim list, entry, entries, i
    Set list = host.GetArchiveInfo(path, 0)
    ' An array, not a Dictionary: Wine 8's loses number keys past a few hundred.
    ReDim entries(list.Count - 1)
    i = 0
    For Each entry In list
        If i <= UBound(entries) Then Set entries(i) = entry
        i = i + 1
    Next
    Set spi = list.Plugin
    Listing = entries
End Function

Sub OpenArchive(path, label)
    Dim entries, again, spi, pluginText, entry, reader, copy, kind, number, description, k, total, candidate, started, took, memberName
    On Error Resume Next
    entries = Listing(path, spi)
    number = Err.Number : description = Err.Description
    On Error GoTo 0
    If number <> 0 Then
        Row label, "(none)", "cannot list", ""
        Failed label, "(none)", number, description
        Exit Sub
    End If
    pluginText = ShortName(spi)
    total = UBound(entries) + 1
    Row label, pluginText, total & " member(s)", ""
    For k = 0 To total - 1
        Set entry = entries(k)
        memberCount = memberCount + 1
        memberName = entry.Path & entry.FileName
        candidate = probeAll Or entry.FileSize = 0   ' an empty member (a folder's, say) holds nothing to ask about
        If Not candidate Then
            If pictureNames Is Nothing Then candidate = True Else candidate = pictureNames.Test(entry.FileName)
        End If
        text = "      " & Right(Space(Len(CStr(total))) & (k + 1), Len(CStr(total))) & "/" & total & " " & Pad(memberName, 40) & _
               Right(Space(10) & entry.FileSize, 10) & " bytes  " & Pad(DateText(entry.TimeStamp), 16)
        If candidate Then WScript.Echo text Else WScript.Echo text & "  not probed"
        If Not candidate Then
            unprobedCount = unprobedCount + 1
        ElseIf entry.FileSize > 0 Then
            ' Numbered, so that members of one name stay apart; the name's ending stays, as
            ' some plug-ins go by it.
            copy = fso.BuildPath(scratch, memberCount & "_" & CleanName(entry.FileName))
            started = Timer
            host.CallTimeout = memberTimeout
            On Error Resume Next
            spi.GetFileToFile path, entry, copy
            number = Err.Number : description = Err.Description
            On Error GoTo 0
            host.CallTimeout = callTimeout
            took = Round((Timer - started) * 1000)
            If took < 0 Then took = took + 86400000   ' past midnight
            If number = TIMEOUT_CODE Then
                Failed label & "/" & memberName, pluginText, number, "not extracted within /membertimeout (" & _
                       memberTimeout & " ms): " & WordsOf(number, description)
                On Error Resume Next
                again = Listing(path, spi)
                number = Err.Number : description = Err.Description
                If number = 0 Then
                    If UBound(again) + 1 <> total Then
                        number = &H80004005 : description = "it lists " & (UBound(again) + 1) & " member(s) now"
                    End If
                End If
                On Error GoTo 0
                If number <> 0 Then
                    Failed label, pluginText, number, "not listed again after a member's time ran out, " & _
                           (total - k - 1) & " member(s) left: " & WordsOf(number, description)
                    unprobedCount = unprobedCount + total - k - 1
                    memberCount = memberCount + total - k - 1
                    Exit Sub
                End If
                entries = again
            ElseIf number <> 0 Then
                Failed label & "/" & memberName, pluginText, number, description
            ElseIf memberTimeout > 0 And took > memberTimeout Then
                Failed label & "/" & memberName, pluginText, TIMEOUT_CODE, "extracting it took " & took & _
                       " ms, more than /membertimeout (" & memberTimeout & " ms)"
            Else
                On Error Resume Next
                Set reader = host.QuerySpiFromFile(copy, 0)
                number = Err.Number
                kind = ""
                If number = 0 Then kind = reader.Version
                On Error GoTo 0
                If number <> 0 Then
                    WScript.Echo "        not a picture any plug-in reads"
                ElseIf kind = "00AM" Then
                    WScript.Echo "        an archive inside an archive; not opened"
                Else
                    AddPicture copy, label & "/" & entry.FileName, ShortName(reader)
                End If
                Set reader = Nothing
            End If
        End If
    Next
End Sub

' One file: which plug-in takes it, then the archive's members or the picture's size.
Sub LookAt(path, label)
    Dim spi, kind, number
    On Error Resume Next
    Set spi = host.QuerySpiFromFile(path, 0)
    number = Err.Number
    On Error GoTo 0
    If number <> 0 Then
        WScript.Echo "      no plug-in reads it"
        Exit Sub
    End If
    kind = ""
    On Error Resume Next
    kind = spi.Version   ' its helper may have ended: the walks ask the next
    On Error GoTo 0
    If kind = "00AM" Then OpenArchive path, label Else AddPicture path, label, ShortName(spi)
End Sub

' First every file is looked at, then every picture found is converted, and shown in the
' order found. Whatever the tour did not foresee still becomes a row, and the tour goes on.
Dim n, path, label
For n = 0 To files.Count - 1
    path = files(n)
    label = fso.GetFileName(path)
    WScript.Echo "[" & (n + 1) & "/" & files.Count & "] " & label
    readCount = readCount + 1
    On Error Resume Next
    LookAt path, label
    If Err.Number <> 0 Then Failed label, "", Err.Number, Err.Description
    On Error GoTo 0
Next

WScript.Echo ""
Dim bitmaps, others, other, item
Set bitmaps = CreateObject("Scripting.Dictionary")
Set others = CreateObject("Scripting.Dictionary")
If pictures.Count > 0 Then
    On Error Resume Next
    Set bitmaps = ConvertAll("bmp")
    If Err.Number = 0 And toType <> "" Then Set others = ConvertAll(toType)
    If Err.Number <> 0 Then Failed "(converting)", "", Err.Number, Err.Description
    On Error GoTo 0
End If
WScript.Echo "    " & Pad("file", 32) & "  " & Pad("read by", 28) & "  " & Pad("picture", 20) & "  bitmap file"
For Each key In pictures.Keys
    item = pictures(key)
    If bitmaps.Exists(key) Then
        other = Empty
        If toType <> "" And others.Exists(key) Then other = others(key)
        Show item, bitmaps(key), other
    Else
        Row item(1), item(2), "cannot decode", ""
        Failed item(1), item(2), &H80004005, "not converted"
    End If
Next
Set host = Nothing
On Error Resume Next
fso.DeleteFolder scratch, True   ' left in the temporary folder while a plug-in holds a member
On Error GoTo 0

' ---- The contact sheet --------------------------------------------------------------------
' The summary, the failures, then every picture in a box of one size: scaled down when
' larger, scaled up with its pixels kept sharp when smaller, linked to its bitmap file.
Dim page, cls
Set page = fso.CreateTextFile(fso.BuildPath(outFolder, "index.html"), True, True)
page.WriteLine "<!DOCTYPE html>"
page.WriteLine "<html><head><meta charset=""utf-16""><title>Tamrix tour</title><style>"
page.WriteLine sheetStyle
page.WriteLine "</style></head><body><h1>Tamrix tour</h1>"
page.WriteLine "<p>" & readCount & " file(s) read, " & pictureCount & " picture(s) decoded, " & _
               failureCount & " failure(s).</p>"
If unprobedCount > 0 Then
    page.WriteLine "<p>" & unprobedCount & " of " & memberCount & " archive member(s) not probed: no picture plug-in's " & _
                   "pattern matches their names, so they were listed, not extracted (<code>/probeall</code> asks them too).</p>"
End If
If failures.Count > 0 Then
    page.WriteLine "<h2>Failures</h2><table><tr><th>File</th><th>Plug-in</th><th>Code</th><th>What happened</th></tr>"
    For Each key In failures.Keys
        item = failures(key)
        page.WriteLine "<tr><td>" & Html(item(0)) & "</td><td>" & Html(item(1)) & "</td><td>" & item(2) & _
                       "</td><td>" & Html(item(3)) & "</td></tr>"
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
text = readCount & " file(s) read, " & pictureCount & " picture(s) decoded, " & failureCount & " failure(s)"
If unprobedCount > 0 Then text = text & ", " & unprobedCount & " member(s) not probed"
WScript.Echo text
If failureCount > 0 Then WScript.Quit 1
WScript.Quit 0
