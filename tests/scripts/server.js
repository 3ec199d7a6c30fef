// Both classes created by ProgID from JScript; late-bound calls through the name table
// (TamrixHost) and the registered type library (SusiePlugin).
// Argument 0: the test plug-ins' folder.

// What a call gives, as text, so two calls can be compared whatever they give.
function outcome(f) {
    try { return "value " + f(); } catch (e) { return "error " + (e.number >>> 0); }
}

var DISP_E_BADPARAMCOUNT = 0x8002000E, DISP_E_TYPEMISMATCH = 0x80020005;
var NO_SUCH_MEMBER = 0x800A01B6;  // the script engine's answer to DISP_E_UNKNOWNNAME

function main() {
    var spiDir = WScript.Arguments(0);
    var names = ["Tamrix.SusiePlugin.1", "Tamrix.SusiePlugin", "Tamrix.TamrixHost.1", "Tamrix.TamrixHost"];
    for (var i = 0; i < names.length; i++)
        check(typeof new ActiveXObject(names[i]) == "object", "create " + names[i]);
    check(failure(function () { new ActiveXObject("Tamrix.SpiLocalHeap"); }) != 0,
          "the result classes have no ProgID");

    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    // The name table applies no declared defaults and checks counts exactly.
    check(failure(function () { host.GetFileFilter(); }) == DISP_E_BADPARAMCOUNT, "GetFileFilter()");
    check(failure(function () { host.QuerySpiFromFile("a.qqa"); }) == DISP_E_BADPARAMCOUNT, "QuerySpiFromFile(1 arg)");
    check(failure(function () { host.Init(1, "", 3); }) == DISP_E_BADPARAMCOUNT, "Init(3 args)");
    check(failure(function () { host.Item("abc"); }) == DISP_E_TYPEMISMATCH, "Item(\"abc\")");
    check(failure(function () { host.NoSuchMember(); }) == NO_SUCH_MEMBER, "unknown name");
    check(failure(function () { host.get_Init(0, ""); }) == NO_SUCH_MEMBER, "methods have no get_ name");
    // Refused arguments are named in words, the member's and the argument's.
    var plugin = new ActiveXObject("Tamrix.SusiePlugin.1");
    var refused = [[function () { host.GetPicture(); }, /^TamrixHost\.GetPicture: takes 2 arguments \(src, offsetOrLength\), given 0$/],
                   [function () { host.Workers = "abc"; }, /^TamrixHost\.Workers: .+: the value given is a string$/],
                   [function () { host.Item("abc"); }, /^TamrixHost\.Item: .+: argument 1 \(Index\) is a string$/],
                   [function () { plugin.GetPictureText(); }, /^SusiePlugin\.GetPictureText: takes 2 arguments \(src, offsetOrLength\), given 0$/]];
    for (var r = 0; r < refused.length; ++r) {
        var said = description(refused[r][0]);
        check(refused[r][1].test(said), "words for refused arguments: " + said);
    }
    // Names fold case; property readers also answer to get_ names.
    var count = outcome(function () { return host.Count; });
    check(count != "error " + NO_SUCH_MEMBER, "Count is known: " + count);
    check(outcome(function () { return host.count; }) == count, "count");
    check(outcome(function () { return host.COUNT; }) == count, "COUNT");
    check(outcome(function () { return host.get_count; }) == count, "get_count");

    check(plugin.Load(spiDir + "\\qqa.spi") === true, "Load qqa.spi");
    // Declared defaults come from the type library: ConfigurationDlg(0, 1). The test
    // plug-in answers its window argument as its result code, so 0 succeeds.
    check(failure(function () { plugin.ConfigurationDlg(); }) == 0, "ConfigurationDlg() with defaults");
    check(failure(function () { plugin.configurationdlg(); }) == 0, "type-library names fold case");
    check(failure(function () { plugin.ConfigurationDlg(5); }) != 0, "ConfigurationDlg(5) reaches the plug-in");
    check(failure(function () { plugin.NoSuchMember(); }) == NO_SUCH_MEMBER, "unknown name on SusiePlugin");
    check(plugin.Free() === undefined, "Free");
}

finish(main);
