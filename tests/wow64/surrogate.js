// A 64-bit JScript client of the 32-bit server, which runs in a 32-bit DLL surrogate: it
// creates the manager, lists bundled and test plug-ins (32-bit .spi files), asks which one
// reads a file, decodes through each picture plug-in into memory and into a bitmap file,
// lists and extracts archives, builds the filter, and sees the members that would hand an
// address across the processes fail.
// Arguments: the test plug-ins' folder, the bundled plug-ins' folder, the samples' folder.
var ADDRESS_ACROSS_PROCESSES = 0x800701E7;  // HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS)
var spiDir = WScript.Arguments(0), bundledDir = WScript.Arguments(1), samples = WScript.Arguments(2);
var folder = temp + "\\tamrix_surrogate_js_" + fso.GetTempName().replace(".", "_");

function main() {
    equal(new ActiveXObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), "AMD64",
          "the script host is the 64-bit one");
    fso.CreateFolder(folder);
    var spis = [spiDir + "\\qqa.spi", spiDir + "\\qqz.spi", bundledDir + "\\iftamrix.spi", bundledDir + "\\axtamrix.spi"];
    for (var s = 0; s < spis.length; ++s) fso.CopyFile(spis[s], folder + "\\");

    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(7, folder);
    // The folder's four plug-ins; the surrogate's current and system folders may add more.
    check(host.Count >= 4, "Count takes in the folder's four plug-ins: " + host.Count);
    var listed = [], n = 0;
    for (var en = new Enumerator(host); !en.atEnd(); en.moveNext(), ++n) {
        var p = en.item();
        if (n < 4) listed.push(p.Version + " " + p.PluginInfo(2));
    }
    equal(n, host.Count, "for-each gives every plug-in");
    var expected = ["00IN *.qqa", "00AM *.qqz", "00IN *.png", "00AM *.zip"];
    for (var x = 0; x < expected.length; ++x)
        check(("|" + listed.join("|") + "|").indexOf("|" + expected[x] + "|") >= 0, "listed: " + expected[x] + " in " + listed.join("|"));
    equal(host.Item(1).About, host.Item(1).About, "Item(1) answers");

    // A QQA1 picture of the test plug-in, 40 x 20 pixels of 24 bits, and a PNG sample.
    var qqaPath = temp + "\\surrogate_js.qqa";
    writeFile(qqaPath, "QQA1" + le(40, 4) + le(20, 4) + le(24, 2) + zeros(90));
    var pictures = [
        {path: qqaPath, pattern: "*.qqa", width: 40, height: 20, bits: 24, rowBytes: 120},
        {path: samples + "\\pictures\\palette.png", pattern: "*.png", width: 33, height: 21, bits: 8, rowBytes: 36}
    ];
    for (var i = 0; i < pictures.length; ++i) {
        var pic = pictures[i], what = pic.pattern;
        var spi = host.QuerySpiFromFile(pic.path, 0);
        equal(spi.PluginInfo(2), pic.pattern, what + ": QuerySpiFromFile chooses its plug-in");
        var pixels = spi.GetPicture(pic.path, 0, null);
        equal(pixels.Length, pic.rowBytes * pic.height, what + ": decoded into memory, every row");
        equal(failure(function () { return pixels.Buffer; }), ADDRESS_ACROSS_PROCESSES,
              what + ": Buffer, an address in the surrogate, fails");
        var bmpPath = temp + "\\surrogate_js_" + i + ".bmp";
        spi.GetPictureToFile(pic.path, 0, bmpPath);
        checkBitmapFile(bmpPath, pic.width, pic.height, pic.bits, pic.rowBytes, what);
        fso.DeleteFile(bmpPath);
        // The manager's picture object: made in the surrogate and reached through its proxy.
        // Its Handle is the surrogate's GDI handle, of no use in this process.
        var picture = host.GetPicture(pic.path, 0);
        equal(picture.Type, 1, what + ": a bitmap picture object");
        check(Math.abs(picture.Width / picture.Height - pic.width / pic.height) < 0.01,
              what + ": its size has the picture's proportions: " + picture.Width + " x " + picture.Height);
    }

    // An integer is an address in the server's process: refused there, as a source and as
    // QuerySpi's buffer.
    var qqa = host.QuerySpiFromFile(qqaPath, 0);
    equal(failure(function () { qqa.GetPicture(0x10000, 104, null); }), ADDRESS_ACROSS_PROCESSES,
          "an integer address as a source fails");
    equal(failure(function () { host.QuerySpi("x.qqa", 0x10000); }), ADDRESS_ACROSS_PROCESSES,
          "an integer address as QuerySpi's buffer fails");

    // A ZIP sample through the bundled archive plug-in: listed, one member extracted into
    // memory and one into a file, which the bundled picture plug-in then reads.
    var zip = samples + "\\archives\\pictures.zip";
    var ax = host.QuerySpiFromFile(zip, 0);
    equal(ax.Version, "00AM", "QuerySpiFromFile chooses the archive plug-in for the ZIP");
    var list = ax.GetArchiveInfo(zip, 0);
    var names = [];
    for (var le2 = new Enumerator(list); !le2.atEnd(); le2.moveNext()) names.push(le2.item().Path + le2.item().FileName);
    equal(names.length, list.Count, "for-each over the listing");
    check(names.join("|").indexOf("rgb.png|photo.jpg|sub\\grey.pgm|notes.txt") === 0, "members: " + names.join("|"));
    var rgb = list.Item(1);
    equal(rgb.FileName, "rgb.png", "Item(1)");
    var heap = ax.GetFile(zip, rgb);
    equal(heap.Length, rgb.FileSize, "GetFile into memory: FileSize bytes");
    equal(failure(function () { return heap.Buffer; }), ADDRESS_ACROSS_PROCESSES, "an extracted block's Buffer fails");
    var out = temp + "\\surrogate_js_rgb.png";
    if (fso.FileExists(out)) fso.DeleteFile(out);
    ax.GetFileToFile(zip, rgb, out);
    equal(fso.GetFile(out).Size, fso.GetFile(samples + "\\pictures\\rgb.png").Size, "GetFileToFile: the member's size");
    equal(host.QuerySpiFromFile(out, 0).GetPicture(out, 0, null).Length, 112 * 23, "the extracted PNG decodes (37 x 23, 24 bits)");
    fso.DeleteFile(out);

    // A QQZ1 archive of the test plug-in, its member's text compared.
    var data = "Hello from a 64-bit script.";
    var qqzPath = temp + "\\surrogate_js.qqz";
    writeFile(qqzPath, "QQZ1" + le(1, 4) + zeros(16) + field("QQZstore", 8) + field("docs\\", 40) +
              field("readme.txt", 40) + le(data.length, 4) + le(0, 4) + le(0, 4) + data);
    var qqz = host.QuerySpiFromFile(qqzPath, 0);
    var entries = qqz.GetArchiveInfo(qqzPath, 0);
    equal(entries.Count, 1, "the QQZ1 listing");
    var readme = entries.Item(1);
    equal(qqz.GetFile(qqzPath, readme).Length, data.length, "QQZ1 member into memory");
    var text = temp + "\\surrogate_js_readme.txt";
    qqz.GetFileToFile(qqzPath, readme, text);
    equal(readFile(text), data, "QQZ1 member into a file");
    fso.DeleteFile(text);

    // The filter over the folder's plug-ins, in list order.
    var filter = host.GetFileFilter(0);
    check(filter.indexOf("All images" + NUL) === 0, "filter starts with All images");
    // The texts between NULs, read one character at a time (Wine 8's JScript does not split
    // at a NUL).
    var patterns = "";
    for (var c = 11; c < filter.length && filter.charCodeAt(c) !== 0; ++c) patterns += filter.charAt(c);
    var want = ["*.qqa", "*.qqz", "*.png", "*.zip"];
    for (var w = 0; w < want.length; ++w) check((";" + patterns + ";").indexOf(";" + want[w] + ";") >= 0, "filter has " + want[w]);
    equal(host.GetFileFilter(4), "All images" + NUL + NUL, "no kind");

    fso.DeleteFile(qqaPath);
    fso.DeleteFile(qqzPath);
}

finish(main, function () { fso.DeleteFolder(folder, true); });
