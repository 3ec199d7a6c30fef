' A script binds an archive plug-in, lists an archive with For Each and through Item(i) and
' prints every entry, extracts one member into memory and one into a file, and compares
' their bytes with what it put into the archive.
' Argument 0: the test plug-ins' folder.
Dim spiDir
spiDir = WScript.Arguments(0)

' The members: method, path, name, data, time stamp, CRC.
Dim members(2)
members(0) = Array("QQZstore", "docs\", "readme.txt", "Hello from a VBScript archive.", &H12345678, &H7F7F7F7F)
members(1) = Array("raw", "", "empty.bin", "", 0, 0)
members(2) = Array("lz", "src\", "main.c", "Sub Main()" & vbCrLf & "End Sub" & vbCrLf, &H01020304, &H11)

' A QQZ1 archive (header, then each member's record and data), after 16 bytes of other data.
Const PREFIX = 16
Function Archive()
    Dim s, m
    s = "QQZ1" & LE(3, 4) & LE(0, 4) & LE(0, 4) & LE(0, 4) & LE(0, 4)
    For Each m In members
        s = s & Field(m(0), 8) & Field(m(1), 40) & Field(m(2), 40) & LE(Len(m(3)), 4) & LE(m(4), 4) & _
            LE(m(5), 4) & m(3)
    Next
    Archive = s
End Function

Function Describe(e)
    Describe = "Method=" & e.Method & " Path=" & e.Path & " FileName=" & e.FileName & _
               " Position=" & e.Position & " CompSize=" & e.CompSize & " FileSize=" & e.FileSize & _
               " TimeStamp=" & e.TimeStamp & " CRC=" & e.CRC
End Function

Sub CheckEntry(e, i, archiveText, how)
    Dim m
    m = members(i)
    Equal e.Method, m(0), how & " Method " & i
    Equal e.Path, m(1), how & " Path " & i
    Equal e.FileName, m(2), how & " FileName " & i
    Equal e.FileSize, Len(m(3)), how & " FileSize " & i
    Equal e.CompSize, Len(m(3)), how & " CompSize " & i
    Equal e.CRC, m(5), how & " CRC " & i
    Equal Mid(archiveText, e.Position - PREFIX + 1, Len(m(3))), m(3), how & " Position " & i & " is where the data is"
    Equal VarType(e.TimeStamp), vbDate, how & " TimeStamp is a date " & i
    ' 0 stands for no time (30 December 1899); 0x12345678 s falls in 1979 in every zone.
    If m(4) = 0 Then Equal CDbl(e.TimeStamp), 0, how & " TimeStamp 0"
    If m(4) = &H12345678 Then Equal Year(e.TimeStamp), 1979, how & " TimeStamp year"
End Sub

Sub Main()
    Dim archiveText, archivePath, p, list, e, i, heap, bytes, text, k, n, fromMemory, out, second
    archiveText = Archive()
    archivePath = temp & "\plugin_script_vbs.qqz"
    WriteFile archivePath, String(PREFIX, "-") & archiveText

    Set p = CreateObject("Tamrix.SusiePlugin.1")
    Equal p.Load(spiDir & "\qqz.spi"), True, "Load"
    Equal p.Version, "00AM", "Version"

    Set list = p.GetArchiveInfo(archivePath, PREFIX)
    Equal list.Count, 3, "Count"
    i = 0
    For Each e In list
        WScript.Echo "entry " & (i + 1) & ": " & Describe(e)
        CheckEntry e, i, archiveText, "For Each"
        Check list.Item(i + 1) Is e, "For Each and Item hand out the same entry " & i
        i = i + 1
    Next
    Equal i, 3, "For Each visits every entry"
    For i = 1 To list.Count
        CheckEntry list.Item(i), i - 1, archiveText, "Item"
        Check list(i) Is list.Item(i), "Item is the default member " & i
    Next

    ' Into memory: the block holds the member's bytes. Where this host can read a byte array
    ' they are compared directly; everywhere, the block's address is handed back as a memory
    ' source (its length the entry's CompSize) and the file made from it compared.
    Set heap = p.GetFile(archivePath, list.Item(1))
    Equal heap.Length, Len(members(0)(3)), "GetFile: Length"
    bytes = heap.GetBytes()
    On Error Resume Next
    n = LenB(bytes)
    If Err.Number <> 0 Then
        WScript.Echo "note: this script host cannot read a byte array (" & Hex(Err.Number) & ")"
        Err.Clear
        n = -1
    End If
    On Error GoTo 0
    If n >= 0 Then
        text = ""
        For k = 1 To n
            text = text & Chr(AscB(MidB(bytes, k, 1)))
        Next
        Equal text, members(0)(3), "GetFile: bytes"
    End If
    Equal p.GetFile(heap.Buffer, list.Item(1)).Length, Len(members(0)(3)), "GetFile from an address takes CompSize bytes"
    fromMemory = temp & "\plugin_script_vbs_memory.txt"
    p.GetFileToFile heap.Buffer, list.Item(1), fromMemory
    Equal ReadFile(fromMemory), members(0)(3), "GetFile: the block's bytes, written out from its address"
    fso.DeleteFile fromMemory

    ' Into a file, straight from the archive; an empty member makes an empty file.
    out = temp & "\plugin_script_vbs_main.bas"
    If fso.FileExists(out) Then fso.DeleteFile out
    p.GetFileToFile archivePath, list(3), out
    Equal ReadFile(out), members(2)(3), "GetFileToFile: the file's bytes"
    p.GetFileToFile archivePath, list(2), out
    Equal fso.GetFile(out).Size, 0, "GetFileToFile of an empty member"
    fso.DeleteFile out

    ' Looked up by name; a missing one fails with E_FAIL.
    Equal p.GetFileInfo(archivePath, PREFIX, "src\main.c").FileName, "main.c", "GetFileInfo"
    On Error Resume Next
    Set e = p.GetFileInfo(archivePath, PREFIX, "nothing")
    Equal Hex(Err.Number), "80004005", "GetFileInfo of a missing member"
    Err.Clear
    On Error GoTo 0

    ' An entry stays usable after its collection and the plug-in object are gone.
    Set second = list(3)
    Set list = Nothing
    Set p = Nothing
    Equal second.FileName, "main.c", "an entry outlives its collection"
    fso.DeleteFile archivePath
End Sub

RunMain
Finish
