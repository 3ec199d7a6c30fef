// Batch conversion from JScript: ConvertFiles, in worker processes, gives every file the
// result and the bytes that one-by-one ConvertFile with isolated plug-ins gives it: the
// bundled samples, and pictures the test kit's faulting plug-in (listed first) crashes or
// hangs on, whose results hold the crash and time-out codes, or which the walk takes past
// the plug-in that ended a worker to the next one that reads them. A loop on Wait sees
// Completed rise; results come in file order. Bad input answers clearly and leaves nothing;
// Cancel leaves the files not started alone. Arguments: the test plug-ins' folder, the
// bundled plug-ins' folder, the sample pictures' folder and their names, each followed by a
// comma. Under the 64-bit script host (tests/win64): the arguments of every 64-bit script,
// which plug-ins to use (".sph", or ".spi": 32-bit ones, which the 64-bit workers serve
// from 32-bit helpers), the names.
var args = WScript.Arguments, x64 = args.length > 4, ext = x64 ? args(5) : ".spi";
var spiDir = args(x64 && ext === ".spi" ? 1 : 0), bundledDir = x64 ? args(ext === ".sph" ? 2 : 3) : args(1);
var picturesDir = x64 ? args(4) + "\\pictures" : args(2), names = args(x64 ? 6 : 3).split(",");
var shell = new ActiveXObject("WScript.Shell");
var base = temp + "\\tamrix_conversion_js_" + fso.GetTempName().replace(".", "_");
var CRASHED = 0x8007042B, TIMED_OUT = 0x800705B4, CANCELLED = 0x800704C7, PENDING = 0x8000000A;
var INVALID = 0x80070057, NO_FOLDER = 0x80070003, NO_FILE = 0x80070002, NOT_WRITTEN = 0x80070032;

// A QQA1 picture, 4 x 3 pixels of 24 bits, whose decoding answers `code` and whose text holds `tag`.
function tagged(name, tag, code) {
    var path = base + "\\" + name;
    writeFile(path, "QQA1" + le(4, 4) + le(3, 4) + le(24, 2) + zeros(14) + le(code, 4) + zeros(28) +
        field(tag, 32) + zeros(12));
    return path;
}

function folder(name) {
    return fso.CreateFolder(base + "\\" + name).Path;
}

function main() {
    fso.CreateFolder(base);
    fso.CopyFile(spiDir + "\\faulty" + ext, folder("first") + "\\");
    fso.CopyFile(spiDir + "\\qqa" + ext, folder("second") + "\\");
    fso.CopyFile(bundledDir + "\\iftamrix" + ext, base + "\\second\\");
    shell.CurrentDirectory = base + "\\first";
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(16 + 15, base + "\\second");
    host.CallTimeout = 2000;

    var files = [], expected = {};
    for (var n = 0; n + 1 < names.length; ++n) files.push(picturesDir + "\\" + names[n]);
    var kit = [["crash.qqa", "CRSH:GetPicture;", 3, CRASHED], ["hang.qqa", "HANG:GetPicture;", 3, TIMED_OUT],
               ["fallback.qqa", "CRSH:GetPicture;", 0, 0], ["asked.qqa", "CRSH:IsSupported;", 0, 0]];
    for (var k = 0; k < kit.length; ++k) {
        files.splice(2 * k, 0, tagged(kit[k][0], kit[k][1], kit[k][2]));
        expected[kit[k][0]] = kit[k][3];
    }

    var one = folder("one"), codes = [], words = [];
    for (var i = 0; i < files.length; ++i) {
        try {
            host.ConvertFile(files[i], 0, one + "\\" + fso.GetFileName(files[i]) + ".bmp");
            codes.push(0);
            words.push("");
        } catch (e) {
            codes.push(e.number >>> 0);
            words.push(String(e.description).replace(/^TamrixHost\.ConvertFile: /, ""));
        }
    }

    host.Workers = 2;
    var out = folder("job"), job = host.ConvertFiles(files, out, "bmp"), seen = [];
    equal(job.Total, files.length, "Total");
    while (!job.Wait(250)) {
        seen.push(job.Completed);
        WScript.Echo("converted " + job.Completed + " of " + job.Total);
    }
    check(seen.length > 0 && seen[0] < files.length, "the job runs in the background");
    for (var s = 1; s < seen.length; ++s) check(seen[s] >= seen[s - 1], "Completed rises: " + seen.join(","));
    equal(job.Completed, files.length, "Completed at the end");
    var failed = 0;
    for (var f = 0; f < files.length; ++f) {
        var name = fso.GetFileName(files[f]), result = job.Result(f) >>> 0;
        WScript.Echo(name + ": " + result.toString(16) + " " + job.Destination(f));
        equal(result, codes[f], name + ": the result ConvertFile gives");
        equal(job.Description(f), words[f], name + ": ConvertFile's words");
        if (name in expected) equal(result, expected[name], name + ": the kit's answer");
        equal(job.Destination(f), out + "\\" + name + ".bmp", name + ": the destination");
        if (result === 0) equal(readFile(job.Destination(f)), readFile(one + "\\" + name + ".bmp"), name + ": the bitmap");
        else check(!fso.FileExists(job.Destination(f)), name + ": nothing written");
        if (result !== 0) ++failed;
    }
    equal(job.Failed, failed, "Failed");
    equal(fso.GetFolder(out).Files.Count, files.length - failed, "no other file in the destination folder");

    // Sources of one name in three folders, one in other case: each its own destination, in
    // source order.
    var same = [], sameOut = folder("same"), given = ["same.qqa.bmp", "same (2).qqa.bmp", "SAME (3).QQA.bmp"];
    for (var g = 0; g < given.length; ++g) {
        var sub = "abc".charAt(g);
        folder(sub);
        same.push(tagged(sub + "\\" + given[g].replace(/ \(\d\)/, "").replace(/\.bmp$/, ""), "", 0));
    }
    var apart = host.ConvertFiles(same, sameOut, "bmp");
    check(apart.Wait(-1), "Wait(-1) waits until the job ends");
    check(/^ConversionJob\.Result: .+: argument 1 \(Index\) is a string$/.test(description(function () { apart.Result("x"); })),
          "Result(\"x\") names its argument");
    for (g = 0; g < given.length; ++g) {
        equal(apart.Result(g) + " " + apart.Destination(g), "0 " + sameOut + "\\" + given[g], "one name, source " + g);
        check(fso.FileExists(apart.Destination(g)), "written: " + given[g]);
    }

    // A source that is not there, and a type nobody writes: each file says so.
    var missing = host.ConvertFiles([base + "\\missing.png", files[files.length - 1]], folder("missing"), "png");
    var unwritten = host.ConvertFiles(files.slice(-1), folder("unwritten"), "xyz");
    check(missing.Wait(60000) && unwritten.Wait(60000), "the small jobs end");
    equal((missing.Result(0) >>> 0) + "," + missing.Result(1), NO_FILE + ",0", "a missing source, and the next");
    equal(unwritten.Result(0) >>> 0, NOT_WRITTEN, "a type nobody writes");
    equal(fso.GetFolder(base + "\\unwritten").Files.Count, 0, "and nothing is left");

    equal(failure(function () { host.ConvertFiles([], out, "bmp"); }), INVALID, "no sources");
    equal(failure(function () { host.ConvertFiles(files[0], out, "bmp"); }), INVALID, "a name, not an array");
    equal(failure(function () { host.ConvertFiles([files[0], 7], out, "bmp"); }), INVALID, "not only names");
    equal(failure(function () { host.ConvertFiles(files, base + "\\nowhere", "bmp"); }), NO_FOLDER, "no such folder");
    equal(failure(function () { host.Workers = 0; }), INVALID, "no workers");

    // Cancelled at once, one worker: the files not started are left alone.
    host.Workers = 1;
    var cancelled = host.ConvertFiles(files, folder("cancelled"), "bmp"), last = files.length - 1;
    equal(cancelled.Result(last) >>> 0, PENDING, "a file not finished");
    cancelled.Cancel();
    while (!cancelled.Wait(250)) {}
    equal(cancelled.Result(last) >>> 0, CANCELLED, "a file not started");
    check(!fso.FileExists(cancelled.Destination(last)), "is not written");
    var written = 0;
    for (var c = 0; c <= last; ++c) written += cancelled.Result(c) === 0 ? 1 : 0;
    equal(fso.GetFolder(base + "\\cancelled").Files.Count, written, "only whole files");
}

finish(main, function () {
    shell.CurrentDirectory = temp;
    fso.DeleteFolder(base, true);
});
