// A script isolates its plug-ins (Init flag 16) and sets the time limit of a call: a plug-in
// that faults answers the crash code and one that hangs the timeout code, and the manager
// goes on with the good plug-in; archive listings and entries made before a crash are
// copies here, which outlive the helper. The faulty plug-in is listed first, from the
// current folder. Argument 0: the test plug-ins' folder. Under the 64-bit script host
// (tests/win64) the arguments are those of every 64-bit script, then which plug-ins to
// isolate: ".sph" (64-bit, argument 0's) or ".spi" (32-bit, argument 1's).
var args = WScript.Arguments;
var ext = args.length > 5 ? args(5) : ".spi";
var spiDir = args.length > 5 && ext === ".spi" ? args(1) : args(0);
var shell = new ActiveXObject("WScript.Shell");
// Where the test runs slower than here (an emulated machine), the times it allows grow alike.
var timeScale = Number(shell.Environment("PROCESS")("TAMRIX_TIME_SCALE")) || 1;
var base = temp + "\\tamrix_isolation_js_" + fso.GetTempName().replace(".", "_");
var CRASHED = 0x8007042B, TIMED_OUT = 0x800705B4, E_FAIL = 0x80004005;

// A QQA1 picture, 4 x 3 pixels of 24 bits, whose text holds `tag`.
function tagged(name, tag) {
    var path = temp + "\\" + name;
    writeFile(path, "QQA1" + le(4, 4) + le(3, 4) + le(24, 2) + zeros(2) + zeros(28) + zeros(4) +
        zeros(12) + field(tag, 32) + zeros(12));
    return path;
}

// A QQZ1 archive at `path` whose members hold the texts `data`.
function writeArchive(path, data) {
    var bytes = "QQZ1" + le(data.length, 4) + zeros(16);
    for (var m = 0; m < data.length; ++m)
        bytes += field("raw", 8) + zeros(40) + field("m" + m + ".txt", 40) + le(data[m].length, 4) + zeros(8) + data[m];
    writeFile(path, bytes);
    return path;
}

function main() {
    fso.CreateFolder(base);
    fso.CreateFolder(base + "\\first");
    fso.CreateFolder(base + "\\second");
    fso.CopyFile(spiDir + "\\faulty" + ext, base + "\\first\\");
    fso.CopyFile(spiDir + "\\qqa" + ext, base + "\\second\\");
    fso.CopyFile(spiDir + "\\qqz" + ext, base + "\\second\\");
    shell.CurrentDirectory = base + "\\first";

    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    equal(host.CallTimeout, 30000, "the time limit starts at 30 seconds");
    host.Init(16 + 15, base + "\\second");
    host.CallTimeout = 2000;
    equal(host.CallTimeout, 2000, "the time limit as set");

    // A QQZ1 archive of two members, listed and looked up before the helper ends.
    var archive = writeArchive(base + "\\isolation.qqz", ["first member", "second"]);
    var listing = host.QuerySpiFromFile(archive, 0).GetArchiveInfo(archive, 0);
    var looked = host.QuerySpiFromFile(archive, 0).GetFileInfo(archive, 0, "m1.txt");

    var crash = tagged("isolation_crash.qqa", "CRSH:GetPicture;");
    var spi = host.QuerySpiFromFile(crash, 0);
    // The facts come from the helper without a decoding (the faulty plug-in knows none, so
    // the good one is asked), as copies that outlive it.
    var facts = [host.GetPictureProperties(crash, 0), host.Item(2).GetPictureProperties(crash, 0)];
    equal(spi.About, "Faulting and hanging test plug-in", "the faulty plug-in takes the file");
    equal(failure(function () { spi.GetPicture(crash, 0, null); }), CRASHED, "a fault answers the crash code");
    equal(failure(function () { return spi.Version; }), CRASHED, "and so does every later call");
    for (var f = 0; f < facts.length; ++f)
        equal(facts[f].Width + "x" + facts[f].Height + "x" + facts[f].ColorDepth, "4x3x24", "facts after the crash");
    var picture = host.GetPicture(crash, 0);
    check(picture.Width > 0, "a picture the faulty plug-in faults on comes from the good one");
    var names = [];
    for (var e = new Enumerator(listing); !e.atEnd(); e.moveNext()) names.push(e.item().FileName + ":" + e.item().FileSize);
    equal(names.join(",") + "," + looked.FileName, "m0.txt:12,m1.txt:6,m1.txt", "the listing and the entry after the crash");
    host.QuerySpiFromFile(archive, 0).GetFileToFile(archive, listing.Item(2), base + "\\m1.txt");
    equal(readFile(base + "\\m1.txt"), "second", "a new helper extracts the member an old entry names");

    var hang = tagged("isolation_hang.qqa", "HANG:GetPicture;");
    var started = new Date().getTime();
    equal(failure(function () { host.QuerySpiFromFile(hang, 0).GetPicture(hang, 0, null); }), TIMED_OUT,
        "a hang answers the timeout code");
    check(new Date().getTime() - started < 4000 * timeScale, "within the limit and 2 seconds");

    // Writers that crash, raise or hang there or write nothing, and short blocks, fail and keep the destination.
    var out = fso.CreateFolder(base + "\\out").Path, kept = out + "\\kept.qqa", blocks = [];
    var members = writeArchive(base + "\\blocks.qqz", [  // headers: 1 plane, 32 or 24 bits
        le(40, 4) + le(16, 4) + le(32, 4) + le(0x200001, 4) + zeros(24), zeros(2048),
        le(40, 4) + le(100000, 4) + le(100000, 4) + le(0x180001, 4) + zeros(24), zeros(48),
        field("CRSH:CreatePicture;", 2048), field("RAIS:CreatePicture;", 2048), field("THRW:CreatePicture;", 2048),
        field("HANG:CreatePicture;", 2048)]);
    var qqz = host.QuerySpiFromFile(members, 0), list = qqz.GetArchiveInfo(members, 0);
    for (var b = 1; b <= list.Count; ++b) blocks.push(qqz.GetFile(members, list.Item(b)));
    var here = new ActiveXObject("Tamrix.SusiePlugin"), ownWidth = here.Load(base + "\\first\\faulty" + ext);
    var writes = [[0, 4, CRASHED], [0, 5, CRASHED], [0, 6, CRASHED], [0, 7, TIMED_OUT], [0, 1, E_FAIL], [2, 3, E_FAIL],
        [0, 1, E_FAIL, here], [2, 3, E_FAIL, here]];
    for (var w = 0; w < writes.length - (ownWidth ? 0 : 2); ++w) {
        writeFile(kept, "old");
        equal(failure(function () {  // isolated: a new object, in a new helper after an end
            (writes[w][3] || host.Item(1)).CreatePicture(kept, blocks[writes[w][0]], blocks[writes[w][1]]); }),
            writes[w][2], "write " + w);
        equal(readFile(kept) + fso.GetFolder(out).Files.Count, "old1", "write " + w + ": the destination, alone");
    }

    // Start-up and clean-up code that never returns is timed as calls are: a scan goes past both.
    fso.CopyFile(spiDir + "\\faulty" + ext, out + "\\hang_free" + ext);
    fso.CopyFile(spiDir + "\\faulty" + ext, out + "\\hang_load" + ext);
    host.Init(16 + 15, out);
    equal(host.Count, 2, "a scan past hanging loads and frees: the current folder's plug-in and the one that loads");
}

finish(main, function () {
    shell.CurrentDirectory = temp;
    fso.DeleteFolder(base, true);
});
