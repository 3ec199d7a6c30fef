' Writing pictures through plug-ins from a late-bound client, in process and isolated (Init
' flags 15 and 15 + 16). The plug-in object's CreatePicture takes the blocks GetPicture hands
' out (VBScript, unlike JScript, receives the information block through GetPicture's out
' argument) or their bytes; the manager's ConvertFile asks the writers in list order, one that
' does not write the destination's type handing on to the next: the test writer takes .qqw
' only, the bundled picture plug-in .png, so whichever comes first, one type is handed on.
' Arguments: the test plug-ins' folder, the bundled plug-ins' folder.
Dim spiDir, bundledDir, folder
spiDir = WScript.Arguments(0)
bundledDir = WScript.Arguments(1)
folder = temp & "\tamrix_writers_vbs_" & Replace(fso.GetTempName(), ".", "_")

' What the test writer writes for a picture of 30 x 10 pixels of 24 bits.
Dim QQW
QQW = "QQW1" & LE(30, 4) & LE(10, 4) & LE(24, 2)

' The error that writing `dest` raised, as hex: "0" when none.
Function CreateError(spi, dest, info, pixels)
    On Error Resume Next
    spi.CreatePicture dest, info, pixels
    CreateError = Hex(Err.Number)
    Err.Clear
End Function

Function ConvertError(host, src, dest)
    On Error Resume Next
    host.ConvertFile src, 0, dest
    ConvertError = Hex(Err.Number)
    Err.Clear
End Function

Sub Main()
    Dim host, spi, info, pixels, picturePath, flags, what
    fso.CreateFolder folder
    fso.CopyFile spiDir & "\qqa_writer.spi", folder & "\"
    fso.CopyFile bundledDir & "\iftamrix.spi", folder & "\"
    picturePath = folder & "\writers.qqa"
    WriteFile picturePath, "QQA1" & LE(30, 4) & LE(10, 4) & LE(24, 2) & Zeros(90)

    Set host = CreateObject("Tamrix.TamrixHost.1")
    For Each flags In Array(15, 31)
        what = " (flags " & flags & ")"
        host.Init flags, folder
        Set spi = host.QuerySpiFromFile(picturePath, 0)
        Equal spi.About, "QQA test plug-in writing .qqw", "the test writer reads QQA1" & what
        Equal spi.CanCreatePicture, True, "CanCreatePicture" & what
        Set pixels = spi.GetPicture(picturePath, 0, info)
        Equal CreateError(spi, folder & "\objects" & flags & ".qqw", info, pixels), "0", "CreatePicture" & what
        Equal ReadFile(folder & "\objects" & flags & ".qqw"), QQW, "the blocks' picture" & what
        Equal CreateError(spi, folder & "\bytes" & flags & ".qqw", info.GetBytes(), pixels.GetBytes()), "0", _
              "CreatePicture from byte arrays" & what
        Equal ReadFile(folder & "\bytes" & flags & ".qqw"), QQW, "the arrays' picture" & what
        Equal CreateError(spi, folder & "\objects" & flags & ".png", info, pixels), "80070032", _
              "the test writer answers that it does not write .png" & what
        Check Not fso.FileExists(folder & "\objects" & flags & ".png"), "and nothing is written" & what

        Equal ConvertError(host, picturePath, folder & "\converted" & flags & ".qqw"), "0", "ConvertFile to .qqw" & what
        Equal ReadFile(folder & "\converted" & flags & ".qqw"), QQW, "written by the test writer" & what
        Equal ConvertError(host, picturePath, folder & "\converted" & flags & ".png"), "0", "ConvertFile to .png" & what
        Equal Mid(ReadFile(folder & "\converted" & flags & ".png"), 2, 3), "PNG", "written by the bundled one" & what
        Equal ConvertError(host, picturePath, folder & "\converted" & flags & ".xyz"), "80070032", _
              "no plug-in writes .xyz" & what
        Check Not fso.FileExists(folder & "\converted" & flags & ".xyz"), "and nothing is written" & what
    Next
End Sub

RunMain
On Error Resume Next
fso.DeleteFolder folder, True
Finish
