// Late-bound call cost, measured side by side in one run: a JScript member call on each
// kind of dispatch the server serves, against Scripting.Dictionary.Count, the system's own
// dual object. Prints each member's time per call and its ratio to the dictionary.
//   cscript //nologo dispatch.js <folder holding qqa.spi> [calls per round] [rounds]
var args = WScript.Arguments;
var spiDir = args(0);
var calls = args.length > 1 ? parseInt(args(1), 10) : 20000;
var rounds = args.length > 2 ? parseInt(args(2), 10) : 7;

var fso = new ActiveXObject("Scripting.FileSystemObject");
var temp = fso.GetSpecialFolder(2).Path;

// A small QQA1 picture for the test plug-in, so there is a memory block to ask about.
function le(value, bytes) {
    var s = "";
    for (var i = 0; i < bytes; ++i) { s += String.fromCharCode(value & 0xFF); value >>>= 8; }
    return s;
}
function zeros(n) { return new Array(n + 1).join(String.fromCharCode(0)); }
var picturePath = temp + "\\bench_dispatch.qqa";
var out = fso.CreateTextFile(picturePath, true);
out.Write("QQA1" + le(8, 4) + le(2, 4) + le(24, 2) + zeros(2) + zeros(92));
out.Close();

var dict = new ActiveXObject("Scripting.Dictionary");
dict.Add("a", 1);
var spi = new ActiveXObject("Tamrix.SusiePlugin.1");
if (!spi.Load(spiDir + "\\qqa.spi")) throw new Error("cannot load qqa.spi from " + spiDir);
var heap = spi.GetPicture(picturePath, 0, null);
fso.DeleteFile(picturePath);

// Each case is a loop of `calls` member calls; the loop's own cost is measured too and
// taken off every case.
var cases = [
    {name: "loop alone", run: function (n) { var v; for (var i = 0; i < n; ++i) v = i; return v; }},
    {name: "Scripting.Dictionary.Count", run: function (n) { var v; for (var i = 0; i < n; ++i) v = dict.Count; return v; }},
    {name: "SusiePlugin.CanPreview (type library)", run: function (n) { var v; for (var i = 0; i < n; ++i) v = spi.CanPreview; return v; }},
    {name: "SusiePlugin.PluginInfo(1) (type library)", run: function (n) { var v; for (var i = 0; i < n; ++i) v = spi.PluginInfo(1); return v; }},
    {name: "SpiLocalHeap.Length (name table)", run: function (n) { var v; for (var i = 0; i < n; ++i) v = heap.Length; return v; }}
];

function median(list) {
    var s = list.slice(0).sort(function (a, b) { return a - b; });
    return s[Math.floor(s.length / 2)];
}

// Rounds interleave the cases, so that whatever else the machine does falls on all alike.
var times = [];
for (var c = 0; c < cases.length; ++c) times.push([]);
for (var r = 0; r < rounds; ++r) {
    for (var c = 0; c < cases.length; ++c) {
        var start = new Date().getTime();
        cases[c].run(calls);
        times[c].push(new Date().getTime() - start);
    }
}
var loop = median(times[0]);
var base = Math.max(median(times[1]) - loop, 1);
function pad(s, n) { s = String(s); while (s.length < n) s += " "; return s; }
WScript.Echo(calls + " calls per round, median of " + rounds + " rounds");
WScript.Echo(pad("member", 44) + pad("us/call", 10) + "ratio to Dictionary.Count");
for (var c = 1; c < cases.length; ++c) {
    var t = Math.max(median(times[c]) - loop, 0);
    WScript.Echo(pad(cases[c].name, 44) + pad((1000 * t / calls).toFixed(2), 10) + (t / base).toFixed(2) + "x");
}
