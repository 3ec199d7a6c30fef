// A script uses names the ANSI code page cannot hold: it chooses such letters at run time,
// finds the wide test plug-ins in a folder named with them, decodes a picture named with them
// through the manager and through the plug-in object, and lists and extracts an archive
// member named with them. Argument 0: the test plug-ins' folder.
var spiDir = WScript.Arguments(0);
var unique = fso.GetTempName().replace(".", "_");

function utf8(s) {
    var out = "";
    for (var i = 0; i < s.length; ++i) {
        var c = s.charCodeAt(i);
        if (c < 0x80) out += String.fromCharCode(c);
        else if (c < 0x800) out += String.fromCharCode(0xC0 | (c >> 6), 0x80 | (c & 0x3F));
        else out += String.fromCharCode(0xE0 | (c >> 12), 0x80 | ((c >> 6) & 0x3F), 0x80 | (c & 0x3F));
    }
    return out;
}

// A letter the ANSI code page holds is written to an ANSI text file and read back as itself;
// any other is refused (Windows) or comes back as another character ('?' or a look-alike).
function outsideCodePage(letter) {
    var probe = temp + "\\tamrix_wide_js_probe_" + unique + ".txt";
    var back = null;
    try {
        var out = fso.CreateTextFile(probe, true, false);
        out.Write(letter);
        out.Close();
        var inp = fso.OpenTextFile(probe, 1, false, 0);
        back = inp.ReadAll();
        inp.Close();
    } catch (e) {
        back = null;
    }
    if (fso.FileExists(probe)) fso.DeleteFile(probe);
    return back !== letter;
}
var CANDIDATES = [0x416, 0x3A9, 0x5D0, 0xE01, 0x65E5, 0x4E2D, 0xD55C, 0x915, 0x10D0, 0x531, 0x1200, 0x2603];
var letters = "";
for (var c = 0; c < CANDIDATES.length && letters.length < 2; ++c) {
    var letter = String.fromCharCode(CANDIDATES[c]);
    if (outsideCodePage(letter)) letters += letter;
}

var folder = temp + "\\tamrix_wide_js_" + letters + "_" + unique;
var ELLIPSIS = String.fromCharCode(0x2026);

function main() {
    fso.CreateFolder(folder);
    fso.CopyFile(spiDir + "\\qqw.spi", folder + "\\");
    fso.CopyFile(spiDir + "\\qqzw.spi", folder + "\\");

    // A QQA1 picture, 12 x 4 pixels of 24 bits, named with the letters.
    var width = 12, height = 4;
    var picture = "QQA1" + le(width, 4) + le(height, 4) + le(24, 2) + zeros(2) + zeros(28) +
        zeros(4) + zeros(12) + zeros(32) + zeros(12);
    var picturePath = temp + "\\tamrix_wide_js_" + letters + ".qqa";
    writeFile(picturePath, picture);
    equal(fso.GetFile(picturePath).Size, 104, "picture file size");

    // Through the manager: its folder's name, the query and the picture object.
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(7, folder);
    check(host.Count >= 2, "the folder's two plug-ins are listed");
    var spi = host.QuerySpiFromFile(picturePath, 0);
    equal(spi.About, "QQW test plug-in, wide" + ELLIPSIS, "the wide picture plug-in takes the file");
    var pic = host.GetPicture(picturePath, 0);
    equal(pic.Type, 1, "a bitmap picture object");
    check(pic.Width > 0 && Math.abs(pic.Width / pic.Height - width / height) < 0.01,
          "of the picture's proportions: " + pic.Width + " x " + pic.Height);
    pic = null;
    spi = null;

    // Through the plug-in object, loaded from the folder of that name.
    var p = new ActiveXObject("Tamrix.SusiePlugin.1");
    equal(p.Load(folder + "\\qqw.spi"), true, "Load");
    var rowSize = Math.floor((width * 24 + 31) / 32) * 4;
    var pixels = p.GetPicture(picturePath, 0, null);
    equal(pixels.Length, rowSize * height, "GetPicture: every row");
    var bmpPath = temp + "\\tamrix_wide_js_" + letters + ".bmp";
    p.GetPictureToFile(picturePath, 0, bmpPath);
    equal(fso.GetFile(bmpPath).Size, 54 + rowSize * height, "GetPictureToFile to a name of those letters");
    equal(readFile(bmpPath).substr(0, 2), "BM", "a bitmap file");
    fso.DeleteFile(bmpPath);
    pixels = null;
    p = null;

    // An archive named with the letters, its second member in a folder of the first letter and
    // named with the second (the plug-in keeps names as UTF-8).
    var data = "Bytes of a member with a wide name.";
    var members = [
        {method: "QQZstore", path: "", name: "plain.txt", data: "plain"},
        {method: "raw", path: letters.charAt(0) + "\\", name: letters.charAt(1) + ".txt", data: data}
    ];
    var archive = "QQZ1" + le(members.length, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 4);
    for (var m = 0; m < members.length; ++m) {
        var r = members[m];
        archive += field(r.method, 8) + field(utf8(r.path), 40) + field(utf8(r.name), 40) + le(r.data.length, 4) +
                   le(0, 4) + le(0, 4) + r.data;
    }
    var archivePath = temp + "\\tamrix_wide_js_" + letters + ".qqz";
    writeBytes(archivePath, archive);
    var a = new ActiveXObject("Tamrix.SusiePlugin.1");
    equal(a.Load(folder + "\\qqzw.spi"), true, "Load the wide archive plug-in");
    var list = a.GetArchiveInfo(archivePath, 2);
    equal(list.Count, 2, "Count");
    var entry = list.Item(2);
    WScript.Echo("member: Path=" + escape(entry.Path) + " FileName=" + escape(entry.FileName));
    equal(entry.Path, members[1].path, "Path in full");
    equal(entry.FileName, members[1].name, "FileName in full");
    var found = a.GetFileInfo(archivePath, 2, members[1].path + members[1].name);
    equal(found.Position, entry.Position, "GetFileInfo by that name");
    var out = temp + "\\tamrix_wide_js_" + letters + ".txt";
    a.GetFileToFile(archivePath, entry, out);
    equal(readFile(out), data, "GetFileToFile: the member's bytes under a name of those letters");
    fso.DeleteFile(out);
    list = null;
    a = null;
    host = null;
    fso.DeleteFile(picturePath);
    fso.DeleteFile(archivePath);
}

finish(function () {
    if (letters.length < 2) {
        WScript.Echo("SKIPPED: this machine's ANSI code page holds every candidate letter");
        return;
    }
    WScript.Echo("letters outside the ANSI code page: " + escape(letters));
    main();
}, function () { if (fso.FolderExists(folder)) fso.DeleteFolder(folder, true); });
