// Picture facts of every bundled sample from JScript: GetPictureProperties, through the
// manager and the bundled picture plug-in's object, tells the size and depth whose pixel
// block decoding hands back (rows of whole 32-bit words). JScript gets no information block
// (an out argument); the VBScript twin compares its header. Arguments: the test plug-ins'
// folder (unused), the bundled plug-ins' folder, the sample pictures' folder and their names,
// each followed by a comma (Wine's folder objects do not enumerate their files).
var bundledDir = WScript.Arguments(1), picturesDir = WScript.Arguments(2);
var names = WScript.Arguments(3).split(",");

function main() {
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(15, bundledDir);
    var n = 0;
    for (var i = 0; i + 1 < names.length; ++i) {
        var name = names[i], path = picturesDir + "\\" + name;
        var facts = host.GetPictureProperties(path, 0);
        var own = host.QuerySpiFromFile(path, 0).GetPictureProperties(path, 0);
        var size = facts.Width + "x" + facts.Height + "x" + facts.ColorDepth;
        equal(own.Width + "x" + own.Height + "x" + own.ColorDepth, size, name + ": the plug-in object's facts");
        var pixels = host.QuerySpiFromFile(path, 0).GetPicture(path, 0, null);
        var row = Math.floor((facts.Width * facts.ColorDepth + 31) / 32) * 4;
        equal(pixels.Length, row * facts.Height, name + ": the decoded block of " + size);
        ++n;
    }
    check(n >= 18, "every sample: " + n);
}

finish(main);
