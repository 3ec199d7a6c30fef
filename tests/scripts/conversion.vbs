' Batch conversion from VBScript, whose arrays reach the server as arrays of variants (by
' reference when a variable is passed): ConvertFiles writes every sample as a PNG file
' through the bundled plug-in in the workers, the same bytes as one-by-one ConvertFile, in
' file order, while a loop on Wait prints the progress; an array holding anything but names
' is refused. Arguments as for the JScript twin.
Dim bundledDir, picturesDir, names, base
bundledDir = WScript.Arguments(1)
picturesDir = WScript.Arguments(2)
names = Split(WScript.Arguments(3), ",")
base = temp & "\tamrix_conversion_vbs_" & Replace(fso.GetTempName(), ".", "_")

Function ConvertFilesError(host, sources)
    On Error Resume Next
    host.ConvertFiles sources, base, "png"
    ConvertFilesError = Hex(Err.Number)
    Err.Clear
End Function

Sub Main()
    Dim host, files, list, i, job, one, out
    fso.CreateFolder base
    one = fso.CreateFolder(base & "\one").Path
    out = fso.CreateFolder(base & "\job").Path
    Set host = CreateObject("Tamrix.TamrixHost.1")
    host.Init 15, bundledDir
    ' Made by Split: Wine's VBScript faults on ReDim of a local array.
    list = picturesDir & "\" & names(0)
    For i = 1 To UBound(names) - 1
        list = list & "|" & picturesDir & "\" & names(i)
    Next
    files = Split(list, "|")
    For i = 0 To UBound(files)
        host.ConvertFile files(i), 0, one & "\" & names(i) & ".png"
    Next

    Set job = host.ConvertFiles(files, out, "png")
    Do While Not job.Wait(250)
        WScript.Echo "converted " & job.Completed & " of " & job.Total
    Loop
    Equal job.Completed & "/" & job.Failed, (UBound(files) + 1) & "/0", "every file converted"
    For i = 0 To UBound(files)
        WScript.Echo names(i) & ": " & Hex(job.Result(i)) & " " & job.Destination(i)
        Equal job.Destination(i), out & "\" & names(i) & ".png", names(i) & ": the destination"
        Check ReadFile(job.Destination(i)) = ReadFile(one & "\" & names(i) & ".png"), names(i) & ": the same PNG file"
    Next
    Equal ConvertFilesError(host, Array(files(0), 2)), "80070057", "an array holding a number"
End Sub

RunMain
On Error Resume Next
fso.DeleteFolder base, True
Finish
