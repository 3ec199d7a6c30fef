// The script's own arithmetic and relative paths after every kind of call, in process, into
// plug-ins that end each call with FP exceptions unmasked (one pending), the current folder
// moved and other error modes; were their state to reach it, 1 / 0 would end the script host
// (0xC000008E). Argument 0: the test plug-ins' folder; under the 64-bit script host
// (tests/win64) the arguments of every 64-bit script, then ".sph".
var base = temp + "\\tamrix_caller_state_js_" + fso.GetTempName().replace(".", "_");
var ext = WScript.Arguments.length > 5 ? ".sph" : ".spi", shell = new ActiveXObject("WScript.Shell");

function main() {
    fso.CreateFolder(base);
    fso.CopyFile(WScript.Arguments(0) + "\\qqa_upset" + ext, base + "\\");
    fso.CopyFile(WScript.Arguments(0) + "\\qqz_upset" + ext, base + "\\");
    writeFile(base + "\\pic.qqa", "QQA1" + le(4, 4) + le(3, 4) + le(24, 2) + zeros(46) + field("upset", 32) + zeros(12));
    writeFile(base + "\\box.qqz", "QQZ1" + le(1, 4) + zeros(16) + field("raw", 8) + zeros(40) + field("m0.txt", 40) +
        le(2, 4) + zeros(8) + "hi");
    shell.CurrentDirectory = base;
    var host = new ActiveXObject("Tamrix.TamrixHost.1"), spi, list, zero = 0;
    var calls = [
        ["Init", function () { host.Init(0, base); }],
        ["QuerySpiFromFile", function () { spi = host.QuerySpiFromFile(base + "\\pic.qqa", 0); }],
        ["GetPicture", function () { check(host.GetPicture("pic.qqa", 0).Width > 0, "a picture"); }],
        ["GetPictureProperties", function () { equal(host.GetPictureProperties("pic.qqa", 0).Text, "upset", "its text"); }],
        ["ConvertFile", function () { host.ConvertFile("pic.qqa", 0, "out.qqw"); }],
        ["ConfigurationDlg", function () { spi.ConfigurationDlg(0, 1); }],
        ["GetArchiveInfo", function () { list = host.GetArchiveInfo("box.qqz", 0); }],
        ["GetFile", function () { equal(list.Plugin.GetFile("box.qqz", list.Item(1)).Length, 2, "a member"); }]];
    for (var i = 0; i < calls.length; ++i) {
        calls[i][1]();
        check(1 / zero === Infinity && 1e308 * 10 === Infinity && isNaN(zero / zero), calls[i][0] + ": arithmetic");
        check(fso.FileExists("pic.qqa") && readFile("box.qqz").substr(0, 4) === "QQZ1", calls[i][0] + ": relative paths");
    }
    check(fso.FileExists(base + "\\out.qqw"), "the writer wrote");
}

finish(main, function () {
    shell.CurrentDirectory = temp;
    fso.DeleteFolder(base, true);
});
