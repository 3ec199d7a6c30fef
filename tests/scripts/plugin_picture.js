// A script binds a picture plug-in, reads its texts, decodes a picture from a file name
// and from a byte array, reads the pixels and writes a bitmap file that it then checks.
// Argument 0: the test plug-ins' folder.
var spiDir = WScript.Arguments(0);

function pattern(seed, i) { return (seed + i * 7 + (i >> 8)) & 0xFF; }

// The contents of a byte array, or null where the host's JScript cannot read one
// (Windows reads byte arrays with VBArray; Wine 8's VBArray takes only arrays of VARIANT.
// Wine 8's JScript cannot even hold one: taking the value fails as not implemented.)
function bytesOf(get) {
    try {
        var array = get();
        equal(typeof array, "unknown", "a byte array is an opaque value");
        return new VBArray(array).toArray();
    } catch (e) {
        WScript.Echo("note: this script host cannot read a byte array (" + hex(e) + ")");
        return null;
    }
}

// A byte array holding a file: ADODB.Stream on Windows. Wine 8 registers no type library
// for it, and its JScript cannot hold a byte array at all; there the memory forms are
// shown through an address instead (below).
function byteArrayOf(path) {
    try {
        var stream = new ActiveXObject("ADODB.Stream");
        stream.Type = 1;
        stream.Open();
        stream.LoadFromFile(path);
        var a = stream.Read();
        stream.Close();
        return a;
    } catch (e) {
        WScript.Echo("note: ADODB.Stream cannot read a file here (" + hex(e) + ")");
    }
    return null;
}

// The script host ends silently on an uncaught error: report it as a failure instead.
function main() {
    // A QQA1 picture: 8 x 2 pixels of 1 bit, full colour table, pattern seed 0.
    var width = 8, height = 2, bits = 1;
    var picture = "QQA1" + le(width, 4) + le(height, 4) + le(bits, 2) + zeros(2) +
        zeros(28) /* clrUsed, biSize, compression, result, shortfalls, flags */ +
        zeros(4) /* seed 0 */ + zeros(12) /* densities, left, top */ +
        "script text" + zeros(21) + zeros(12);
    equal(picture.length, 104, "picture header length");
    var picturePath = temp + "\\plugin_script.qqa";
    writeFile(picturePath, picture);
    equal(fso.GetFile(picturePath).Size, 104, "picture file size");

    var p = new ActiveXObject("Tamrix.SusiePlugin.1");
    equal(p.Load(spiDir + "\\qqa.spi"), true, "Load");
    equal(p.Version, "00IN", "Version");
    check(p.About.length > 0, "About is not empty");
    equal(p.About, p.PluginInfo(1), "About is information number 1");
    equal(p.PluginInfo(2), "*.qqa", "first file pattern");
    equal(p.CanPreview, true, "CanPreview");
    equal(p.GetPictureText(picturePath, 0), "script text", "GetPictureText");

    // From a file name. JScript has no by-reference variables: it passes a placeholder
    // for the information object and keeps the pixels.
    var rowSize = Math.floor((width * bits + 31) / 32) * 4;
    var pixels = p.GetPicture(picturePath, 0, null);
    check(pixels.Length >= rowSize * height, "pixel block holds every row");
    check(pixels.Buffer !== 0, "Buffer is an address");
    var pixelBytes = bytesOf(function () { return pixels.GetBytes(); });
    if (pixelBytes !== null) {
        equal(pixelBytes.length, pixels.Length, "GetBytes copies the whole block");
        var ok = true;
        for (var i = 0; i < rowSize * height; ++i) if (pixelBytes[i] !== pattern(0, i)) ok = false;
        check(ok, "pixels are the plug-in's pattern");
    }

    // From a byte array.
    var array = byteArrayOf(picturePath);
    if (array !== null) {
        var fromArray = p.GetPicture(array, 104, null);
        equal(fromArray.Length, pixels.Length, "byte array decodes like the file");
        var arrayBytes = bytesOf(function () { return fromArray.GetBytes(); });
        if (arrayBytes !== null && pixelBytes !== null)
            equal(arrayBytes.join(","), pixelBytes.join(","), "same pixels from the byte array");
    }

    // From memory, by address: the test plug-in echoes the picture's own header as the
    // pixel block of a picture flagged so (flags at byte 40), and that block's Buffer is
    // handed back as the source.
    var echoPath = temp + "\\plugin_script_echo.qqa";
    writeFile(echoPath, picture.substr(0, 40) + le(8, 4) + picture.substr(44));
    var echoed = p.GetPicture(echoPath, 0, null);
    var fromMemory = p.GetPicture(echoed.Buffer, 104, null);
    equal(fromMemory.Length, pixels.Length, "an address decodes like the file");
    fso.DeleteFile(echoPath);

    // A bitmap file, checked byte for byte against the layout rules and the plug-in's pattern.
    var bmpPath = temp + "\\plugin_script.bmp";
    if (fso.FileExists(bmpPath)) fso.DeleteFile(bmpPath);
    p.GetPictureToFile(picturePath, 0, bmpPath);
    check(fso.FileExists(bmpPath), "bitmap file written");
    var colours = Math.pow(2, bits);
    var dataOffset = 14 + 40 + 4 * colours;
    var fileSize = dataOffset + rowSize * height;
    var file = readFile(bmpPath);
    equal(file.length, fileSize, "bitmap file size");
    equal(file.substr(0, 2), "BM", "file type");
    equal(at(file, 2, 4), fileSize, "bfSize");
    equal(at(file, 6, 4), 0, "reserved");
    equal(at(file, 10, 4), dataOffset, "bfOffBits");
    equal(at(file, 14, 4), 40, "biSize");
    equal(at(file, 18, 4), width, "biWidth");
    equal(at(file, 22, 4), height, "biHeight");
    equal(at(file, 26, 2), 1, "biPlanes");
    equal(at(file, 28, 2), bits, "biBitCount");
    var tableOk = true;
    for (var c = 0; c < 4 * colours; ++c) if (file.charCodeAt(54 + c) !== pattern(0x40, c)) tableOk = false;
    check(tableOk, "colour table");
    var rowsOk = true;
    for (var j = 0; j < rowSize * height; ++j)
        if (file.charCodeAt(dataOffset + j) !== pattern(0, j)) rowsOk = false;
    check(rowsOk, "pixel rows");
    p.GetPictureToFile(echoed.Buffer, 104, bmpPath);
    equal(readFile(bmpPath), file, "the same bitmap file from an address");
    fso.DeleteFile(bmpPath);
    fso.DeleteFile(picturePath);

    p.Free();
    var threw = false;
    try { var v = p.Version; } catch (e) { threw = (e.number >>> 0) === 0x80004005; }
    check(threw, "Version after Free fails with E_FAIL");
}

finish(main);
