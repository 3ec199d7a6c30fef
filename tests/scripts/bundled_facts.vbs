' Picture facts of every bundled sample from VBScript: GetPictureProperties tells the width,
' height and bit count of the bitmap file that decoding writes (VBScript's Asc gives back
' every byte of a file read as ANSI text, where JScript's charCodeAt does not; Wine's
' VBScript reads no byte arrays, so the information block is not read directly). Arguments as
' for the JScript twin.
Dim bundledDir, picturesDir, names
bundledDir = WScript.Arguments(1)
picturesDir = WScript.Arguments(2)
names = Split(WScript.Arguments(3), ",")

Sub Main()
    Dim host, name, path, bmpPath, facts, bmp, height, n
    Set host = CreateObject("Tamrix.TamrixHost.1")
    host.Init 15, bundledDir
    bmpPath = temp & "\bundled_facts_vbs.bmp"
    n = 0
    For Each name In names
        If name = "" Then Exit For
        path = picturesDir & "\" & name
        Set facts = host.GetPictureProperties(path, 0)
        host.QuerySpiFromFile(path, 0).GetPictureToFile path, 0, bmpPath
        bmp = ReadFile(bmpPath)
        ' A bottom-up picture's height is positive, a top-down one's negative.
        height = At(bmp, 22, 4)
        If height >= 2 ^ 31 Then height = 2 ^ 32 - height
        Equal facts.Width & "x" & facts.Height & "x" & facts.ColorDepth, _
              At(bmp, 18, 4) & "x" & height & "x" & At(bmp, 28, 2), name & ": the decoded header's"
        n = n + 1
    Next
    Check n >= 18, "every sample: " & n
    fso.DeleteFile bmpPath
End Sub

RunMain
Finish
