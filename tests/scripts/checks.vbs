' What every test script shares. The build puts this text before the script's own, so the
' script host's line numbers in a failing test's messages count from this file's first line.
' A script counts its checks here, runs its Sub Main through RunMain and ends with Finish,
' which prints the closing line the test harness reads ("<n> passed, <m> failed") and quits
' with the number of failures.
Option Explicit
Dim passed, failed, fso, temp
passed = 0
failed = 0
Set fso = CreateObject("Scripting.FileSystemObject")
temp = fso.GetSpecialFolder(2).Path

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAILED: " & what
    End If
End Sub

Sub Equal(actual, expected, what)
    Check actual = expected, what & ": got " & actual & ", expected " & expected
End Sub

' Runs the script's Main, counting an uncaught error as a failure: the script host ends
' silently on one.
Sub RunMain()
    On Error Resume Next
    Main
    If Err.Number <> 0 Then Check False, "uncaught error " & Hex(Err.Number) & " " & Err.Description
End Sub

Sub Finish()
    WScript.Echo passed & " passed, " & failed & " failed"
    WScript.Quit failed
End Sub

' Files are written and read as text in the ANSI code page: every byte used here is below
' &H80, so each character is stored as exactly that byte and read back the same way.
Function LE(ByVal value, bytes)
    Dim s, i
    s = ""
    For i = 1 To bytes
        s = s & Chr(value And &HFF)
        value = value \ 256
    Next
    LE = s
End Function

Function Zeros(n)
    Zeros = String(n, Chr(0))
End Function

Function Field(text, n)
    Field = Left(text & String(n, Chr(0)), n)
End Function

Sub WriteFile(path, text)
    Dim out
    Set out = fso.CreateTextFile(path, True)
    out.Write text
    out.Close
End Sub

Function ReadFile(path)
    Dim inp, size
    size = fso.GetFile(path).Size
    ReadFile = ""
    If size = 0 Then Exit Function
    Set inp = fso.OpenTextFile(path, 1)
    ReadFile = inp.Read(size)
    inp.Close
End Function

' The little-endian number of n bytes at offset (0-based).
Function At(s, offset, n)
    Dim v, k
    v = 0
    For k = n - 1 To 0 Step -1
        v = v * 256 + Asc(Mid(s, offset + k + 1, 1))
    Next
    At = v
End Function

