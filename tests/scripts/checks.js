// What every test script shares. The build puts this text before the script's own, so the
// script host's line numbers in a failing test's messages count from this file's first line.
// A script counts its checks here and ends with finish(), which prints the closing line the
// test harness reads ("<n> passed, <m> failed") and quits with the number of failures.
var passed = 0, failed = 0;
function check(ok, what) {
    if (ok) { ++passed; } else { ++failed; WScript.Echo("FAILED: " + what); }
}
function equal(actual, expected, what) {
    check(actual === expected, what + ": got " + actual + ", expected " + expected);
}
// An error's number as an unsigned HRESULT in hexadecimal.
function hex(e) { return (e.number >>> 0).toString(16); }
// The error number of fn() as an unsigned HRESULT, or 0 when it runs through.
function failure(fn) {
    try { fn(); } catch (e) { return e.number >>> 0; }
    return 0;
}
// The description of fn()'s error, or "" when it runs through.
function description(fn) {
    try { fn(); } catch (e) { return String(e.description); }
    return "";
}
// Runs main, counting an uncaught error as a failure (the script host ends silently on one),
// then cleanup, if given, once the script's objects are gone; then the closing line.
function finish(main, cleanup) {
    try {
        main();
    } catch (e) {
        check(false, "uncaught error " + hex(e) + " " + e.message);
    }
    if (cleanup) {
        CollectGarbage();
        try { cleanup(); } catch (e) { /* a plug-in still loaded: left for the system */ }
    }
    WScript.Echo(passed + " passed, " + failed + " failed");
    WScript.Quit(failed);
}

var fso = new ActiveXObject("Scripting.FileSystemObject");
var temp = fso.GetSpecialFolder(2).Path;
var NUL = String.fromCharCode(0);

// Files are written and read as text in the ANSI code page: every byte used here is below
// 0x80, so each character is stored as exactly that byte and read back the same way.
function le(value, bytes) {
    var s = "";
    for (var i = 0; i < bytes; ++i) { s += String.fromCharCode(value & 0xFF); value >>>= 8; }
    return s;
}
function zeros(n) { return new Array(n + 1).join(NUL); }
function field(text, n) { return (text + zeros(n)).substr(0, n); }
function writeFile(path, text) {
    var out = fso.CreateTextFile(path, true);
    out.Write(text);
    out.Close();
}
// Any bytes: a UTF-16 text file holds its byte-order mark (2 bytes), then each character as
// two bytes, low one first; the bytes follow from offset 2.
function writeBytes(path, bytes) {
    if (bytes.length % 2) bytes += NUL;
    var units = "";
    for (var i = 0; i < bytes.length; i += 2) units += String.fromCharCode(bytes.charCodeAt(i) | (bytes.charCodeAt(i + 1) << 8));
    var out = fso.CreateTextFile(path, true, true);
    out.Write(units);
    out.Close();
}
function readFile(path) {
    var size = fso.GetFile(path).Size;
    var inp = fso.OpenTextFile(path, 1);
    var s = size ? inp.Read(size) : "";
    inp.Close();
    return s;
}
// The little-endian number of n bytes at offset.
function at(s, offset, n) {
    var v = 0;
    for (var k = n - 1; k >= 0; --k) v = v * 256 + s.charCodeAt(offset + k);
    return v;
}
// A bitmap file's header: its type, width, height, bits per pixel and size (the numbers
// read here are below 0x80 in every byte; a file's size may not be).
function checkBitmapFile(path, width, height, bits, rowBytes, what) {
    var bmp = readFile(path);
    equal(bmp.substr(0, 2), "BM", what + ": bitmap file");
    equal(at(bmp, 18, 4), width, what + ": width");
    equal(at(bmp, 22, 4), height, what + ": height");
    equal(at(bmp, 28, 2), bits, what + ": bits per pixel");
    var colours = at(bmp, 46, 4) || (bits <= 8 ? 1 << bits : 0);
    equal(fso.GetFile(path).Size, 14 + 40 + 4 * colours + rowBytes * height, what + ": file size");
}

