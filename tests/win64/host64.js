// A 64-bit JScript client of Tamrix64.dll: the manager lists the bundled and the test
// plug-ins of both kinds (64-bit .sph in process, 32-bit .spi served by the 32-bit server in
// the DLL surrogate), asks which one reads a file, decodes through each kind into memory, a
// bitmap file and a picture object, lists and extracts archives through each kind, and
// builds the filter. Members that would hand an address through a long fail.
// Arguments: the 64-bit test plug-ins' folder, the 32-bit ones', the 64-bit bundled
// plug-ins' folder, the 32-bit ones', the samples' folder.
var EXCEEDS_32_BITS = 0x80070216;           // HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW)
var ADDRESS_ACROSS_PROCESSES = 0x800701E7;  // HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS)
var args = WScript.Arguments;
var sph = args(0), spi = args(1), bundled64 = args(2), bundled32 = args(3), samples = args(4);
var folder = temp + "\\tamrix_host64_js_" + fso.GetTempName().replace(".", "_");

function main() {
    equal(new ActiveXObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), "AMD64",
          "the script host is the 64-bit one");
    fso.CreateFolder(folder);
    // A picture and an archive plug-in of each kind, bundled and from the test kit.
    fso.CopyFile(bundled64 + "\\iftamrix.sph", folder + "\\");
    fso.CopyFile(bundled32 + "\\axtamrix.spi", folder + "\\");
    fso.CopyFile(spi + "\\qqa.spi", folder + "\\");
    fso.CopyFile(sph + "\\qqz.sph", folder + "\\");

    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(7, folder);
    check(host.Count >= 4, "Count takes in the folder's four plug-ins: " + host.Count);
    var listed = [], n = 0;
    for (var en = new Enumerator(host); !en.atEnd(); en.moveNext(), ++n) {
        var p = en.item();
        listed.push(p.Version + " " + p.PluginInfo(2));
    }
    equal(n, host.Count, "for-each gives every plug-in");
    var expected = ["00IN *.png", "00AM *.zip", "00IN *.qqa", "00AM *.qqz"];
    for (var x = 0; x < expected.length; ++x)
        check(("|" + listed.join("|") + "|").indexOf("|" + expected[x] + "|") >= 0, "listed: " + expected[x] + " in " + listed.join("|"));

    // Pictures through the 32-bit test plug-in and the 64-bit bundled one.
    var qqaPath = temp + "\\host64_js.qqa";
    writeFile(qqaPath, "QQA1" + le(40, 4) + le(20, 4) + le(24, 2) + zeros(90));
    var pictures = [
        {path: qqaPath, pattern: "*.qqa", width: 40, height: 20, bits: 24, rowBytes: 120, buffer: ADDRESS_ACROSS_PROCESSES},
        {path: samples + "\\pictures\\palette.png", pattern: "*.png", width: 33, height: 21, bits: 8, rowBytes: 36,
         buffer: EXCEEDS_32_BITS}
    ];
    for (var i = 0; i < pictures.length; ++i) {
        var pic = pictures[i], what = pic.pattern;
        var p = host.QuerySpiFromFile(pic.path, 0);
        equal(p.PluginInfo(2), pic.pattern, what + ": QuerySpiFromFile chooses its plug-in");
        var pixels = p.GetPicture(pic.path, 0, null);
        equal(pixels.Length, pic.rowBytes * pic.height, what + ": decoded into memory, every row");
        // (GetBytes: Wine 8's JScript takes no byte array as a result, E_NOTIMPL, with either
        // server; the VBScript test reads it.)
        equal(failure(function () { return pixels.Buffer; }), pic.buffer, what + ": Buffer fails");
        var bmpPath = temp + "\\host64_js_" + i + ".bmp";
        p.GetPictureToFile(pic.path, 0, bmpPath);
        checkBitmapFile(bmpPath, pic.width, pic.height, pic.bits, pic.rowBytes, what);
        fso.DeleteFile(bmpPath);
        // The manager's picture object, made in this process from either kind.
        var picture = host.GetPicture(pic.path, 0);
        equal(picture.Type, 1, what + ": a bitmap picture object");
        check(picture.Handle !== 0, what + ": with a bitmap of this process");
        check(Math.abs(picture.Width / picture.Height - pic.width / pic.height) < 0.01,
              what + ": its size has the picture's proportions: " + picture.Width + " x " + picture.Height);
    }
    // An integer is no address a long can hold in a 64-bit process.
    var png = host.QuerySpiFromFile(samples + "\\pictures\\palette.png", 0);
    equal(failure(function () { png.GetPicture(0x10000, 104, null); }), EXCEEDS_32_BITS,
          "an integer address as a source fails");
    equal(failure(function () { host.QuerySpi("x.qqa", 0x10000); }), EXCEEDS_32_BITS,
          "an integer address as QuerySpi's buffer fails");

    // A ZIP sample through the 32-bit bundled archive plug-in.
    var zip = samples + "\\archives\\pictures.zip";
    var ax = host.QuerySpiFromFile(zip, 0);
    equal(ax.PluginInfo(2), "*.zip", "QuerySpiFromFile chooses the archive plug-in for the ZIP");
    var list = ax.GetArchiveInfo(zip, 0);
    var names = [];
    for (var le2 = new Enumerator(list); !le2.atEnd(); le2.moveNext()) names.push(le2.item().Path + le2.item().FileName);
    equal(names.length, list.Count, "for-each over the listing");
    check(names.join("|").indexOf("rgb.png|photo.jpg|sub\\grey.pgm|notes.txt") === 0, "members: " + names.join("|"));
    var rgb = list.Item(1);
    var heap = ax.GetFile(zip, rgb);
    equal(heap.Length, rgb.FileSize, "GetFile into memory: FileSize bytes");
    var out = temp + "\\host64_js_rgb.png";
    if (fso.FileExists(out)) fso.DeleteFile(out);
    ax.GetFileToFile(zip, rgb, out);
    equal(fso.GetFile(out).Size, fso.GetFile(samples + "\\pictures\\rgb.png").Size, "GetFileToFile: the member's size");
    equal(host.QuerySpiFromFile(out, 0).GetPicture(out, 0, null).Length, 112 * 23,
          "the extracted PNG decodes through the 64-bit plug-in (37 x 23, 24 bits)");
    fso.DeleteFile(out);

    // A QQZ1 archive through the 64-bit test plug-in, its member's text compared.
    var data = "Hello from a 64-bit script.";
    var qqzPath = temp + "\\host64_js.qqz";
    writeFile(qqzPath, "QQZ1" + le(1, 4) + zeros(16) + field("QQZstore", 8) + field("docs\\", 40) +
              field("readme.txt", 40) + le(data.length, 4) + le(0, 4) + le(0, 4) + data);
    var qqz = host.QuerySpiFromFile(qqzPath, 0);
    equal(qqz.PluginInfo(2), "*.qqz", "QuerySpiFromFile chooses the QQZ plug-in");
    var entries = qqz.GetArchiveInfo(qqzPath, 0);
    equal(entries.Count, 1, "the QQZ1 listing");
    var readme = entries.Item(1);
    equal(readme.Path + readme.FileName, "docs\\readme.txt", "its member");
    equal(qqz.GetFile(qqzPath, readme).Length, data.length, "QQZ1 member into memory");
    var text = temp + "\\host64_js_readme.txt";
    qqz.GetFileToFile(qqzPath, readme, text);
    equal(readFile(text), data, "QQZ1 member into a file");
    fso.DeleteFile(text);

    // The filter over both kinds.
    var filter = host.GetFileFilter(0);
    check(filter.indexOf("All images" + NUL) === 0, "filter starts with All images");
    var patterns = "";
    for (var c = 11; c < filter.length && filter.charCodeAt(c) !== 0; ++c) patterns += filter.charAt(c);
    var want = ["*.qqa", "*.qqz", "*.png", "*.zip"];
    for (var w = 0; w < want.length; ++w) check((";" + patterns + ";").indexOf(";" + want[w] + ";") >= 0, "filter has " + want[w]);

    fso.DeleteFile(qqaPath);
    fso.DeleteFile(qqzPath);
}

finish(main, function () { fso.DeleteFolder(folder, true); });
