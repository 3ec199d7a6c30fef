// A script creates the manager, points it at a folder of test plug-ins, walks the plug-ins
// with for-each, asks which plug-in reads a file, gets a picture object and builds the
// file filter. Argument 0: the test plug-ins' folder.
var spiDir = WScript.Arguments(0);

// The texts between NULs, read character by character (Wine 8's JScript does not split
// at a NUL separator).
function splitAtNul(s) {
    var parts = [], start = 0;
    for (var i = 0; i < s.length; ++i)
        if (s.charCodeAt(i) === 0) { parts.push(s.substring(start, i)); start = i + 1; }
    parts.push(s.substring(start));
    return parts;
}

// The manager's own folder of plug-ins: one picture and one archive plug-in.
var folder = temp + "\\tamrix_manager_js_" + fso.GetTempName().replace(".", "_");

function main() {
    fso.CreateFolder(folder);
    fso.CopyFile(spiDir + "\\qqa.spi", folder + "\\");
    fso.CopyFile(spiDir + "\\qqz.spi", folder + "\\");

    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(0, folder);
    // The folder's plug-ins come first (the current directory has none); the system's and
    // the viewer's folders may add more after them.
    check(host.Count >= 2, "Count takes in the folder's two plug-ins");
    var versions = [], abouts = [], n = 0;
    for (var e = new Enumerator(host); !e.atEnd(); e.moveNext()) {
        var p = e.item();
        if (n < 2) { versions.push(p.Version); abouts.push(p.About); }
        ++n;
    }
    equal(n, host.Count, "for-each gives every plug-in");
    equal(versions.sort().join(","), "00AM,00IN", "a picture and an archive plug-in");
    equal(host.Item(1).About, abouts[0], "Item(1) is the first element");
    var threw = false;
    try { host.Item(0); } catch (e) { threw = (e.number >>> 0) === 0x80070057; }
    check(threw, "Item(0) fails with E_INVALIDARG");

    // A QQA1 picture, 40 x 20 pixels of 24 bits.
    var width = 40, height = 20;
    var picture = "QQA1" + le(width, 4) + le(height, 4) + le(24, 2) + zeros(2) + zeros(28) +
        zeros(4) + zeros(12) + zeros(32) + zeros(12);
    equal(picture.length, 104, "picture header length");
    var picturePath = temp + "\\manager_script.qqa";
    writeFile(picturePath, picture);

    var spi = host.QuerySpiFromFile(picturePath, 0);
    equal(spi.Version, "00IN", "QuerySpiFromFile gives the picture plug-in");
    equal(spi.PluginInfo(2), "*.qqa", "and it is the QQA one");
    threw = false;
    try { host.QuerySpiFromFile(folder + "\\none.qqa", 0); } catch (e) { threw = (e.number >>> 0) === 0x80004005; }
    check(threw, "nobody takes a missing file: E_FAIL");

    var pic = host.GetPicture(picturePath, 0);
    equal(pic.Type, 1, "a bitmap picture object");
    check(pic.Width > 0 && Math.abs(pic.Width / pic.Height - width / height) < 0.01,
          "its size has the picture's proportions: " + pic.Width + " x " + pic.Height);
    pic = null;

    // A picture the plug-in finds broken (result code 3): the error says which member, which
    // plug-in, which file and what happened.
    var brokenPath = temp + "\\manager_script_broken.qqa";
    writeFile(brokenPath, picture.substr(0, 28) + le(3, 4) + picture.substr(32));
    var words = "";
    try { host.GetPicture(brokenPath, 0); } catch (e) { words = hex(e) + " " + e.description; }
    equal(words, "80004005 TamrixHost.GetPicture: qqa.spi could not decode \"" + brokenPath +
          "\": broken data (plug-in code 3)", "a failure's description");
    fso.DeleteFile(brokenPath);

    // The picture's facts, late-bound; a type no plug-in writes is refused, nothing written.
    var facts = host.GetPictureProperties(picturePath, 0);
    equal(facts.Width + "x" + facts.Height + "x" + facts.ColorDepth + "[" + facts.Text + "]", "40x20x24[]", "facts");
    threw = false;
    try { host.ConvertFile(picturePath, 0, temp + "\\manager_script.xyz"); } catch (e) { threw = (e.number >>> 0) === 0x80070032; }
    check(threw && !fso.FileExists(temp + "\\manager_script.xyz"), "no plug-in writes .xyz, and nothing is written");

    // The filter: exactly the folder's plug-ins (flags 7 leave the viewer's folder out).
    host.Init(7, folder);
    var filter = host.GetFileFilter(0);
    equal(filter.length, 95, "filter length, NULs included");
    var parts = splitAtNul(filter);
    equal(parts[0], "All images", "first text");
    var pairs = parts.slice(2, 8).join("|");
    check(pairs === "QQA picture|*.qqa|QQB picture|*.qqb;*.qqc|QQZ archive|*.qqz" ||
          pairs === "QQZ archive|*.qqz|QQA picture|*.qqa|QQB picture|*.qqb;*.qqc", "pairs: " + pairs);
    equal(host.GetFileFilter(1).length, 71, "pictures only");
    equal(host.GetFileFilter(2).length, 35, "archives only");
    equal(host.GetFileFilter(4), "All images" + NUL + NUL, "no kind");

    spi = null;
    host = null;
    fso.DeleteFile(picturePath);
}

finish(main, function () { fso.DeleteFolder(folder, true); });
