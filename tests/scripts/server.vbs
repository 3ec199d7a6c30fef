' Both classes created by ProgID from VBScript; type names through GetTypeInfo of both
' kinds of dispatch; the script engine's view of the name table's errors (refused arguments
' come as exceptions: their HRESULT and words naming the member and the argument).
' Argument 0: the test plug-ins' folder.
Const WRONG_ARG_COUNT = &H8002000E, TYPE_MISMATCH = &H80020005, NO_SUCH_MEMBER = 438

Sub Main()
    Dim host, plugin, spiDir, x, n1, n2
    spiDir = WScript.Arguments(0)
    Set host = CreateObject("Tamrix.TamrixHost.1")
    Set plugin = CreateObject("Tamrix.SusiePlugin")
    Check TypeName(host) = "ITamrixHost4", "TypeName(host) = " & TypeName(host)
    Check TypeName(plugin) = "ISusiePlugin2", "TypeName(plugin) = " & TypeName(plugin)

    On Error Resume Next
    x = host.GetFileFilter()
    Check Err.Number = WRONG_ARG_COUNT, "GetFileFilter(): " & Err.Number
    Err.Clear
    Set x = host.Item("abc")
    Check Err.Number = TYPE_MISMATCH And InStr(Err.Description, "argument 1 (Index)") > 0, "Item(""abc""): " & Err.Description
    Err.Clear
    host.NoSuchMember
    Check Err.Number = NO_SUCH_MEMBER, "unknown name: " & Err.Number
    Err.Clear
    x = host.Count
    n1 = Err.Number
    Err.Clear
    x = host.cOUNT
    n2 = Err.Number
    Err.Clear
    Check n1 <> NO_SUCH_MEMBER And n1 = n2, "Count and cOUNT: " & n1 & " " & n2

    Check plugin.Load(spiDir & "\qqa.spi") = True, "Load qqa.spi"
    Check Err.Number = 0, "Load: " & Err.Number
    Err.Clear
    plugin.ConfigurationDlg
    Check Err.Number = 0, "ConfigurationDlg with declared defaults: " & Err.Number
    Err.Clear
    plugin.ConfigurationDlg 5
    Check Err.Number <> 0, "ConfigurationDlg 5 reaches the plug-in"
    Err.Clear
    plugin.Free
    Check Err.Number = 0, "Free: " & Err.Number
    Err.Clear
    On Error Goto 0
End Sub

RunMain
Finish
