// A narrow archive plug-in of the Japanese code page (932) read through a manager set to that
// code page: its member names and about text come out as the Japanese they are, in process
// and isolated, set before or after Init, and a member's name goes back to it in that code
// page; without the setting they come out as the ANSI code page reads their bytes, as they
// always have. Relies on the prefix's ANSI code page not being 932 (Wine's default is 1252),
// which the script checks first. Argument 0: the test plug-ins' folder. Under the 64-bit
// script host (tests/win64) the arguments are those of every 64-bit script, then which
// plug-in to use: ".sph" (64-bit, argument 0's) or ".spi" (32-bit, argument 1's, served in
// process by the DLL surrogate, isolated by a helper running the 32-bit server).
var args = WScript.Arguments;
var ext = args.length > 5 ? args(5) : ".spi";
var spiDir = args.length > 5 && ext === ".spi" ? args(1) : args(0);
var folder = temp + "\\tamrix_code_page_js_" + fso.GetTempName().replace(".", "_");
var archivePath = folder + "\\members.qqz";  // from offset 2 (writeBytes)
var INVALID_ARG = 0x80070057;

// Each text as Unicode and as the plug-in's bytes in code page 932.
var ABOUT = {text: "\u30C6\u30B9\u30C8\u66F8\u5EAB \u30BD\u8868",
             bytes: "\x83\x65\x83\x58\x83\x67\x8F\x91\x8C\xC9 \x83\x5C\x95\x5C"};
var MEMBERS = [
    {path: {text: "\u30BD\u30D5\u30C8\\", bytes: "\x83\x5C\x83\x74\x83\x67\\"},
     name: {text: "\u8868.txt", bytes: "\x95\x5C.txt"}, data: "first"},
    {path: {text: "", bytes: ""}, name: {text: "\u65E5\u672C\u8A9E.txt", bytes: "\x93\xFA\x96\x7B\x8C\xEA.txt"},
     data: "second"}
];

// How the ANSI code page reads `bytes`: written to a file (after writeBytes' two bytes of
// byte-order mark) and read back as ANSI text.
function ansiReading(bytes) {
    var probe = folder + "\\probe.txt";
    writeBytes(probe, bytes);
    var s = readFile(probe);
    fso.DeleteFile(probe);
    return s.substr(2).replace(/\0+$/, "");
}

// codePage: null leaves it unset; afterInit sets it once the plug-ins are loaded (and, with
// flag 16, their helper runs).
var CASES = [
    {flags: 4, codePage: null}, {flags: 4, codePage: 932}, {flags: 4, codePage: 932, afterInit: true},
    {flags: 20, codePage: null}, {flags: 20, codePage: 932}, {flags: 20, codePage: 932, afterInit: true}
];

function checkCase(c) {
    var what = "flags " + c.flags + ", code page " + c.codePage + (c.afterInit ? " after Init" : "") + ": ";
    var expected = function (t) { return c.codePage === 932 ? t.text : ansiReading(t.bytes); };
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    if (c.codePage !== null && !c.afterInit) host.CodePage = c.codePage;
    host.Init(c.flags, folder);
    if (c.codePage !== null && c.afterInit) host.CodePage = c.codePage;
    equal(host.CodePage, c.codePage || 0, what + "CodePage");
    var list = host.GetArchiveInfo(archivePath, 2);
    equal(list.Count, MEMBERS.length, what + "Count");
    for (var i = 0; i < MEMBERS.length; ++i) {
        equal(escape(list.Item(i + 1).Path), escape(expected(MEMBERS[i].path)), what + "Path of member " + i);
        equal(escape(list.Item(i + 1).FileName), escape(expected(MEMBERS[i].name)), what + "FileName of member " + i);
    }
    var spi = list.Plugin;
    equal(escape(spi.About), escape(expected(ABOUT)), what + "About");
    // The member's name handed to the plug-in: only code page 932 holds it.
    var full = MEMBERS[0].path.text + MEMBERS[0].name.text, entry = null;
    var code = failure(function () { entry = spi.GetFileInfo(archivePath, 2, full); });
    equal(code, c.codePage === 932 ? 0 : INVALID_ARG, what + "GetFileInfo by the Japanese name");
    if (entry) equal(escape(entry.FileName), escape(MEMBERS[0].name.text), what + "the entry found");
}

function main() {
    fso.CreateFolder(folder);
    fso.CopyFile(spiDir + "\\qqz_cp932" + ext, folder + "\\");
    var archive = "QQZ1" + le(MEMBERS.length, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 4);
    for (var m = 0; m < MEMBERS.length; ++m) {
        var r = MEMBERS[m];
        archive += field("QQZstore", 8) + field(r.path.bytes, 40) + field(r.name.bytes, 40) + le(r.data.length, 4) +
                   le(0, 4) + le(0, 4) + r.data;
    }
    writeBytes(archivePath, archive);
    check(ansiReading(ABOUT.bytes) !== ABOUT.text, "the ANSI code page is not 932: " + escape(ansiReading(ABOUT.bytes)));
    for (var i = 0; i < CASES.length; ++i) checkCase(CASES[i]);

    // A plug-in object made directly keeps the ANSI code page (one of the 64-bit server loads
    // no 32-bit plug-in).
    if (spiDir === args(0)) {
        var own = new ActiveXObject("Tamrix.SusiePlugin.1");
        equal(own.Load(folder + "\\qqz_cp932" + ext), true, "Load");
        equal(escape(own.About), escape(ansiReading(ABOUT.bytes)), "a plug-in object of its own: About");
        own = null;
    }

    // What the setting takes: 0, or a code page the system converts.
    var SETTINGS = [{value: 1252, code: 0}, {value: 65001, code: 0}, {value: 0, code: 0},
                    {value: -1, code: INVALID_ARG}, {value: 3, code: INVALID_ARG}, {value: 12345, code: INVALID_ARG}];
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    for (var s = 0; s < SETTINGS.length; ++s) {
        var before = host.CodePage, value = SETTINGS[s].value;
        equal(failure(function () { host.CodePage = value; }), SETTINGS[s].code, "CodePage = " + value);
        equal(host.CodePage, SETTINGS[s].code ? before : value, "CodePage after setting " + value);
    }
}

finish(main, function () { fso.DeleteFolder(folder, true); });
