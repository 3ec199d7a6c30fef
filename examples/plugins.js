// Which files in the plug-in folders a Tamrix manager lists, and for every one it leaves
// out, why: not a plug-in at all, a plug-in for the other width, a missing entry point, a
// library the system refuses to load, a helper process that cannot serve it.
//
//   cscript //nologo plugins.js [/plugins:<folder>]
//
// It looks where a manager looks (the current folder, the /plugins: folder, the system
// folder and Susie's own plug-in folder) at every ".spi" and ".sph" file, and asks the
// manager about each with CheckPlugin. Run it with the cscript of the width your client has:
// a 32-bit client lists 32-bit ".spi" plug-ins; a 64-bit one lists ".sph" and ".spi" alike,
// serving the 32-bit ones from a helper process.
var fso = new ActiveXObject("Scripting.FileSystemObject");

var pluginFolder = null;
for (var a = 0; a < WScript.Arguments.length; ++a) {
    var arg = WScript.Arguments(a);
    if (arg.toLowerCase().indexOf("/plugins:") === 0) pluginFolder = fso.GetAbsolutePathName(arg.substr(9));
    else {
        WScript.Echo("usage: cscript //nologo plugins.js [/plugins:<folder>]");
        WScript.Quit(2);
    }
}

var host = new ActiveXObject("Tamrix.TamrixHost.1");
if (pluginFolder !== null) host.Init(0, pluginFolder);

function hex(n) { return "0x" + ((n >>> 0).toString(16).toUpperCase()); }
function widthOf(machine) { return machine === "x86" || machine === "ARM" ? "32-bit" : "64-bit"; }

// What CheckPlugin's code and detail mean, in words.
function reason(code, detail) {
    switch (code >>> 0) {
    case 0: return "listed (" + detail + ")";
    case 1: return "a plug-in of kind " + detail + ", left out by the manager's load flags";
    case 0x800700C1: return "not a plug-in: not a Windows module (DLL) at all";
    case 0x800700D8:
        return "a " + widthOf(detail) + " module (" + detail + "): a plug-in for " + widthOf(detail) +
               " clients; this client cannot load it";
    case 0x8007007B: return "not looked at: a plug-in's name ends in " + detail;
    case 0x8007007F: return "not a plug-in: it does not export " + detail;
    case 0x80070032: return "a plug-in of a kind Tamrix does not serve (" + detail + ")";
    case 0x8007007E: return "the system cannot load it: a DLL it needs is missing (" + hex(code) + ")";
    case 0x8007045A: return "the system cannot load it: its start-up code (DllMain) failed (" + hex(code) + ")";
    }
    if (detail === "x86" || detail === "x64")
        return "a " + widthOf(detail) + " plug-in that no helper process could serve (" + hex(code) +
               "); is the " + widthOf(detail) + " Tamrix registered?";
    return "the system cannot load it (" + hex(code) + ")";
}

// The files of a folder, every name whole. Wine 8's JScript cannot walk the
// FileSystemObject's collections with an Enumerator; there the shell's view lists them.
function filesOf(path) {
    var names = [];
    try {
        for (var f = new Enumerator(fso.GetFolder(path).Files); !f.atEnd(); f.moveNext()) names.push(f.item().Path);
        return names;
    } catch (e) {
    }
    var items = new ActiveXObject("Shell.Application").NameSpace(path).Items();
    for (var i = 0; i < items.Count; ++i) {
        var item = items.Item(i).Path;
        if (fso.FileExists(item)) names.push(item);
    }
    return names;
}

var folders = [fso.GetAbsolutePathName(".")];
if (pluginFolder !== null) folders.push(pluginFolder);
folders.push(fso.GetSpecialFolder(1).Path);
try {
    folders.push(new ActiveXObject("WScript.Shell").RegRead("HKCU\\Software\\Velkarin\\Susie\\Plug-in\\Path"));
} catch (e) {
}

var seen = {}, listed = 0, leftOut = 0;
for (var d = 0; d < folders.length; ++d) {
    if (!fso.FolderExists(folders[d]) || seen[folders[d].toLowerCase()]) continue;
    seen[folders[d].toLowerCase()] = true;
    var files = filesOf(folders[d]);
    for (var k = 0; k < files.length; ++k) {
        if (!/\.sp[ih]$/i.test(files[k])) continue;
        var check = new VBArray(host.CheckPlugin(files[k])).toArray();
        if (check[0] === 0) ++listed; else ++leftOut;
        WScript.Echo((check[0] === 0 ? "  listed    " : "  left out  ") + files[k] + ": " + reason(check[0], check[1]));
    }
}
WScript.Echo(listed + " listed, " + leftOut + " left out; the manager holds " + host.Count + " plug-in(s).");
