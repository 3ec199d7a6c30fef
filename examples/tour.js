// A tour of Tamrix: for every file it is given, names the Susie plug-in that reads it and
// the picture's size, converts pictures to bitmap files, lists archives and converts the
// pictures inside them, then writes a contact sheet (index.html) of everything it converted
// and every failure, each with what went wrong in words.
//
//   cscript //nologo tour.js [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/inprocess]
//                            [/timeout:<ms>] [/membertimeout:<ms>] [/probeall] [/codepage:<n>]
//                            <file or folder>...
//
// /plugins: a folder of Susie plug-ins searched besides the usual places (the current
// folder, the system folder and Susie's own plug-in folder); /out: where the bitmap files
// and index.html go (default: a "tamrix-tour" folder in the temporary folder); /to: a file
// type (png, jpg, ...) every picture is also converted to by the plug-ins, which the
// contact sheet then shows. The plug-ins run in a helper process, so that one that crashes
// or hangs fails only its file and the next plug-in that reads the file is asked;
// /inprocess runs them in this process instead (a little faster, but a plug-in that crashes
// ends the tour); /timeout: how long a plug-in may take over one call (default 30000 ms).
//
// Inside an archive only the members whose names match a pattern of the picture plug-ins
// (their file filter) are extracted and asked whether they are pictures; the others are
// listed as "not probed", as a Susie archive plug-in hands out only whole members, and some
// decompress the archive from its start for each one. /probeall asks every member.
// /membertimeout: how long extracting one member may take (default: as /timeout); a member
// that takes longer is a failure and the archive is listed again to go on with the next.
// Only isolated plug-ins can be stopped: in this process the limit is checked afterwards.
// /codepage: the code page of the texts and names of plug-ins that speak only narrow text
// (932 for Japanese ones), when it is not the system's ANSI code page.
var fso = new ActiveXObject("Scripting.FileSystemObject");

// A path made absolute. (Wine 8's GetAbsolutePathName drops the last part of a full path
// whose folder does not exist yet, so full paths are taken as they are.)
function absolute(path) {
    return /^([A-Za-z]:\\|\\\\)/.test(path) ? path : fso.GetAbsolutePathName(path);
}

var USAGE = "usage: cscript //nologo tour.js [/plugins:<folder>] [/out:<folder>] [/to:<type>] [/inprocess] " +
    "[/timeout:<ms>] [/membertimeout:<ms>] [/probeall] [/codepage:<n>] <file or folder>...";
var pluginFolder = null;
var toType = null;
var isolate = true;
var timeout = null;
var memberTimeout = null;
var probeAll = false;
var codePage = null;
var outFolder = fso.BuildPath(fso.GetSpecialFolder(2).Path, "tamrix-tour");
var inputs = [];
for (var a = 0; a < WScript.Arguments.length; ++a) {
    var arg = WScript.Arguments(a);
    var lower = arg.toLowerCase();
    if (lower.indexOf("/plugins:") === 0) pluginFolder = absolute(arg.substr(9));
    else if (lower.indexOf("/out:") === 0) outFolder = absolute(arg.substr(5));
    else if (lower.indexOf("/to:") === 0) toType = lower.substr(4).replace(/^\./, "");
    else if (lower.indexOf("/timeout:") === 0) timeout = parseInt(arg.substr(9), 10);
    else if (lower.indexOf("/membertimeout:") === 0) memberTimeout = parseInt(arg.substr(15), 10);
    else if (lower === "/probeall") probeAll = true;
    else if (lower.indexOf("/codepage:") === 0) codePage = /^\d+$/.test(arg.substr(10)) ? parseInt(arg.substr(10), 10) : -1;
    else if (lower === "/inprocess") isolate = false;
    else if (lower === "/isolate") isolate = true;  // the default; kept for older command lines
    else inputs.push(absolute(arg));
}
if (inputs.length === 0 || (timeout !== null && !(timeout >= 0)) || (memberTimeout !== null && !(memberTimeout > 0)) ||
    (codePage !== null && codePage < 0)) {
    WScript.Echo(USAGE);
    WScript.Quit(2);
}

// The contact sheet's picture box, in pixels, and its style.
var BOX = 160;
var SHEET_STYLE = "body{font-family:sans-serif;margin:1em}" +
    ".sheet{display:grid;grid-template-columns:repeat(auto-fill,minmax(" + (BOX + 20) + "px,1fr));gap:10px}" +
    "figure{margin:0;padding:8px;border:1px solid #ccc;min-width:0;text-align:center}" +
    "figure img{display:block;margin:auto;width:" + BOX + "px;height:" + BOX + "px;object-fit:contain;background:#eee}" +
    "img.small{image-rendering:pixelated}" +
    "figcaption,td{font-size:small;overflow-wrap:anywhere}" +
    "table{border-collapse:collapse;table-layout:fixed;width:100%}" +
    "th,td{border:1px solid #ccc;padding:4px;text-align:left;vertical-align:top}";

function hex(e) { return "0x" + ((e.number >>> 0).toString(16)); }
function pad(s, n) { s = String(s); while (s.length < n) s += " "; return s.length > n ? s.substr(0, n - 1) + "~" : s; }
function lpad(s, n) { s = String(s); while (s.length < n) s = " " + s; return s; }
function html(s) {
    return String(s).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");
}
// An error in words: its description, or its number when it has none.
function words(e) { return e.description ? String(e.description) : "error " + hex(e); }
function makeFolders(path) {
    if (fso.FolderExists(path)) return;
    var parent = fso.GetParentFolderName(path);
    if (parent && !fso.FolderExists(parent)) makeFolders(parent);
    fso.CreateFolder(path);
}

// ---- The plug-ins -------------------------------------------------------------------------
var host = new ActiveXObject("Tamrix.TamrixHost.1");
// Before Init, so that the plug-ins' texts are read in it from the start.
if (codePage !== null) {
    try {
        host.CodePage = codePage;
    } catch (e) {
        WScript.Echo("/codepage:" + codePage + ": " + words(e));
        WScript.Quit(2);
    }
}
// Flag 16 isolates the plug-ins; without a folder of its own the search names the temporary
// folder, which holds none.
host.Init(isolate ? 16 + 15 : 15, pluginFolder !== null ? pluginFolder : fso.GetSpecialFolder(2).Path);
if (timeout !== null) host.CallTimeout = timeout;
var callTimeout = host.CallTimeout;
if (memberTimeout === null) memberTimeout = callTimeout;

// The names the picture plug-ins read, from their file filter (the combined patterns after
// "All images"), as one expression; null when they give none. (Split at an expression: Wine 8's
// JScript splits wrongly at a string that holds a NUL.)
var PICTURE_NAMES = (function () {
    var parts = [];
    try { parts = String(host.GetFileFilter(1)).split(/\0/); } catch (err) { /* every member is asked */ }
    var patterns = parts.length > 1 ? parts[1].split(";") : [], alternatives = [];
    for (var i = 0; i < patterns.length; ++i) {
        var pattern = patterns[i].replace(/^\s+|\s+$/g, "");
        if (pattern === "") continue;
        alternatives.push(pattern.replace(/[.+^${}()|[\]\\]/g, "\\$&").replace(/\*/g, ".*").replace(/\?/g, "."));
    }
    return alternatives.length > 0 ? new RegExp("^(" + alternatives.join("|") + ")$", "i") : null;
})();
var pluginNames = [];
for (var e = new Enumerator(host); !e.atEnd(); e.moveNext()) {
    try {
        var p = e.item();
        pluginNames.push(p.Version + "  " + p.About);
    } catch (err) {
        pluginNames.push("(a plug-in that does not answer: " + words(err) + ")");
    }
}
WScript.Echo("Tamrix tour: " + host.Count + " plug-in(s)" + (pluginFolder !== null ? " (searched " + pluginFolder + " too)" : "") +
             (isolate ? ", isolated" : ", in this process"));
for (var q = 0; q < pluginNames.length; ++q) WScript.Echo("  " + pluginNames[q]);
if (host.Count === 0) {
    WScript.Echo("No Susie plug-ins found: give a folder of them with /plugins:<folder>.");
    WScript.Quit(1);
}

// ---- The files ----------------------------------------------------------------------------
var files = [];
// The files of a folder, every name whole. Wine 8's JScript cannot walk the
// FileSystemObject's collections with an Enumerator (it asks for _NewEnum as a method);
// there the shell's view of the folder lists it instead.
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

function addInput(path) {
    if (fso.FolderExists(path)) {
        var names = filesOf(path);
        names.sort();
        for (var i = 0; i < names.length; ++i) files.push(names[i]);
    } else if (fso.FileExists(path)) {
        files.push(path);
    } else {
        WScript.Echo("not found: " + path);
    }
}
for (var i = 0; i < inputs.length; ++i) addInput(inputs[i]);
makeFolders(outFolder);

var stats = {files: 0, pictures: 0, members: 0, failures: 0, unprobed: 0};
var sheet = [];     // the pictures the contact sheet shows
var failures = [];  // and the failures it lists
var usedNames = {};
// Members of archives are extracted here, to be read by name like any file.
var scratch = fso.BuildPath(fso.GetSpecialFolder(2).Path, fso.GetTempName());
fso.CreateFolder(scratch);

// A new name in the output folder for `base` with the extension `type`.
function outputName(base, type) {
    var stem = base.replace(/[\\\/:*?"<>|]/g, "_");
    var name = stem + "." + type;
    var n = 2;
    while (usedNames[name.toLowerCase()]) name = stem + "-" + n++ + "." + type;
    usedNames[name.toLowerCase()] = true;
    return name;
}

// A plug-in's name: its about text up to the first ":" or "(". A plug-in object whose helper
// process has ended answers nothing any more: then its file's kind of name is not known.
function shortName(spi) {
    try {
        var about = String(spi.About);
        var cut = about.search(/[:(]/);
        return (cut > 0 ? about.substr(0, cut) : about).replace(/\s+$/, "");
    } catch (e) {
        return "(plug-in ended)";
    }
}

function row(label, plugin, what, out) {
    WScript.Echo("    " + pad(label, 32) + "  " + pad(plugin, 28) + "  " + pad(what, 20) + "  " + out);
}

// A failure: a row in the contact sheet's table, and its words on the console.
function failed(label, plugin, err) {
    ++stats.failures;
    failures.push({label: label, plugin: plugin, code: hex(err), words: words(err)});
    WScript.Echo("      failed (" + hex(err) + "): " + words(err));
}

// A picture to convert: from a file, read by the manager's plug-ins in list order (the next
// one is asked when one fails or crashes); its size from the picture's facts, without
// decoding; its bitmap file and, with /to:, a file of that type too.
var pictures = [];
function addPicture(src, label, plugin) {
    var item = {src: src, label: label, plugin: plugin, what: "", small: false};
    try {
        var facts = host.GetPictureProperties(src, 0);
        item.what = facts.Width + " x " + facts.Height + ", " + facts.ColorDepth + " bits";
        item.small = facts.Width < BOX && facts.Height < BOX;
    } catch (err) {
        item.what = "size not known";
    }
    pictures.push(item);
}

// Converts every picture found to `type` in worker processes, as many at once as the machine
// has cores (ConvertFiles), each walking the plug-ins as the manager does, while the progress
// shows. A job writes <file name>.<type> into one folder, so files of one name go in jobs of
// their own; each file made is then moved to its own name in the output folder. Answers, for
// each picture, its file's name, or the failure's code and words.
var jobs = 0;
function convertAll(type) {
    var outcomes = [], left = pictures.length, done = 0;
    while (left > 0) {
        var batch = [], names = {};
        for (var i = 0; i < pictures.length; ++i) {
            if (outcomes[i]) continue;
            var key = fso.GetFileName(pictures[i].src).toLowerCase();
            if (names[key]) continue;
            names[key] = true;
            batch.push(i);
            outcomes[i] = {};
        }
        var stage = fso.BuildPath(scratch, "job" + ++jobs);
        fso.CreateFolder(stage);
        var sources = [];
        for (var b = 0; b < batch.length; ++b) sources.push(pictures[batch[b]].src);
        var job = host.ConvertFiles(sources, stage, type);
        while (!job.Wait(500)) WScript.Echo("  converting to " + type + ": " + (done + job.Completed) + " of " + pictures.length);
        for (var r = 0; r < batch.length; ++r) {
            var outcome = outcomes[batch[r]], result = job.Result(r) >>> 0;
            if (result === 0) {
                outcome.name = outputName(pictures[batch[r]].label, type);
                var dest = fso.BuildPath(outFolder, outcome.name);
                if (fso.FileExists(dest)) fso.DeleteFile(dest, true);
                fso.MoveFile(job.Destination(r), dest);
            } else {
                outcome.error = {number: result | 0, description: job.Description(r)};
            }
        }
        done += batch.length;
        left -= batch.length;
        job = null;
    }
    return outcomes;
}

// Shows one picture converted: its row, and its box on the contact sheet.
function show(item, bitmap, other) {
    if (bitmap.error) {
        row(item.label, item.plugin, "cannot decode", "");
        failed(item.label, item.plugin, bitmap.error);
        return;
    }
    ++stats.pictures;
    var shown = bitmap.name;
    if (other && other.error) failed(item.label + " (to " + toType + ")", item.plugin, other.error);
    else if (other) shown = other.name;
    row(item.label, item.plugin, item.what, shown === bitmap.name ? bitmap.name : bitmap.name + ", " + shown);
    sheet.push({image: shown, label: item.label, what: item.what, plugin: item.plugin, small: item.small});
}

// An archive member's date; 0 means the plug-in gave none. (The date is made a number
// first: Wine 8's JScript cannot take a date's truth value.)
function dateText(d) {
    var t = new Date(d);
    if (t.getTime() === new Date(1899, 11, 30).getTime() || isNaN(t.getTime())) return "";
    function two(v) { return (v < 10 ? "0" : "") + v; }
    return t.getFullYear() + "-" + two(t.getMonth() + 1) + "-" + two(t.getDate()) + " " + two(t.getHours()) + ":" + two(t.getMinutes());
}

// Lists an archive with the first archive plug-in that can (the next one is asked when one
// fails or crashes); then, showing how many members are done of all, extracts those that can
// be pictures with that plug-in into the scratch folder, and takes the pictures among them.
// A member that takes longer than /membertimeout to extract is a failure; as an isolated
// plug-in's helper is ended then, the archive is listed again and the next member taken.
function listing(path) {
    var list = host.GetArchiveInfo(path, 0), entries = [];
    for (var m = new Enumerator(list); !m.atEnd(); m.moveNext()) entries.push(m.item());
    return {spi: list.Plugin, entries: entries};
}
var TIMEOUT_CODE = 0x800705B4 | 0;  // HRESULT_FROM_WIN32(ERROR_TIMEOUT): the helper was ended
function archive(path, label) {
    var list;
    try {
        list = listing(path);
    } catch (err) {
        row(label, "(none)", "cannot list", "");
        failed(label, "(none)", err);
        return;
    }
    var plugin = shortName(list.spi), total = list.entries.length, width = String(total).length;
    row(label, plugin, total + " member(s)", "");
    for (var k = 0; k < total; ++k) {
        var entry = list.entries[k];
        ++stats.members;
        var memberName = entry.Path + entry.FileName;
        // An empty member (a folder's, say) holds nothing to ask about.
        var candidate = entry.FileSize === 0 || probeAll || PICTURE_NAMES === null || PICTURE_NAMES.test(String(entry.FileName));
        WScript.Echo("      " + lpad(k + 1, width) + "/" + total + " " + pad(memberName, 40) + lpad(entry.FileSize, 10) +
                     " bytes  " + pad(dateText(entry.TimeStamp), 16) + (candidate ? "" : "  not probed"));
        if (!candidate) {
            ++stats.unprobed;
            continue;
        }
        if (entry.FileSize === 0) continue;
        var memberLabel = label + "/" + entry.FileName;
        // Numbered, so that members of one name stay apart; the name's ending stays, as some
        // plug-ins go by it.
        var copy = fso.BuildPath(scratch, stats.members + "_" + String(entry.FileName).replace(/[\\\/:*?"<>|]/g, "_"));
        var started = new Date().getTime();
        host.CallTimeout = memberTimeout;
        try {
            list.spi.GetFileToFile(path, entry, copy);
            var took = new Date().getTime() - started;
            if (memberTimeout > 0 && took > memberTimeout) {
                failed(label + "/" + memberName, plugin, {number: TIMEOUT_CODE, description:
                       "extracting it took " + took + " ms, more than /membertimeout (" + memberTimeout + " ms)"});
                continue;
            }
        } catch (err) {
            host.CallTimeout = callTimeout;
            if ((err.number | 0) !== TIMEOUT_CODE) {
                failed(label + "/" + memberName, plugin, err);
                continue;
            }
            failed(label + "/" + memberName, plugin, {number: err.number, description: "not extracted within /membertimeout (" +
                   memberTimeout + " ms): " + words(err)});
            try {
                var again = listing(path);
                if (again.entries.length !== total) throw {number: 0x80004005 | 0, description: "it lists " + again.entries.length + " member(s) now"};
                list = again;
            } catch (err2) {
                failed(label, plugin, {number: err2.number, description: "not listed again after a member's time ran out, " +
                       (total - k - 1) + " member(s) left: " + words(err2)});
                stats.unprobed += total - k - 1;
                stats.members += total - k - 1;
                return;
            }
            continue;
        } finally {
            host.CallTimeout = callTimeout;
        }
        var reader = null;
        try {
            reader = host.QuerySpiFromFile(copy, 0);
        } catch (err) {
            WScript.Echo("        not a picture any plug-in reads");
            continue;
        }
        var kind = "";
        try { kind = reader.Version; } catch (err) { /* its helper ended: taken as a picture */ }
        if (kind === "00AM") WScript.Echo("        an archive inside an archive; not opened");
        else addPicture(copy, memberLabel, shortName(reader));
        reader = null;
    }
}

// First every file is looked at: which plug-in takes it, what size its picture is, which
// members an archive holds (extracted to be read like files); then every picture found is
// converted, and shown in the order found.
for (var n = 0; n < files.length; ++n) {
    var path = files[n];
    var label = fso.GetFileName(path);
    WScript.Echo("[" + (n + 1) + "/" + files.length + "] " + label);
    ++stats.files;
    try {
        var spi;
        try {
            spi = host.QuerySpiFromFile(path, 0);
        } catch (err) {
            WScript.Echo("      no plug-in reads it");
            continue;
        }
        var kind = "";
        try { kind = spi.Version; } catch (err) { /* its helper ended: the walks ask the next */ }
        if (kind === "00AM") archive(path, label);
        else addPicture(path, label, shortName(spi));
    } catch (err) {
        // Whatever the tour did not foresee still becomes a row, and the tour goes on.
        failed(label, "", err);
    }
}

WScript.Echo("");
var bitmaps = [], others = [];
try {
    if (pictures.length > 0) bitmaps = convertAll("bmp");
    if (pictures.length > 0 && toType !== null) others = convertAll(toType);
} catch (err) {
    failed("(converting)", "", err);
}
WScript.Echo("    " + pad("file", 32) + "  " + pad("read by", 28) + "  " + pad("picture", 20) + "  bitmap file");
for (var c = 0; c < pictures.length; ++c) {
    var bitmap = bitmaps[c] || {error: {number: 0x80004005 | 0, description: "not converted"}};
    show(pictures[c], bitmap, toType !== null ? others[c] || bitmap : null);
}
host = null;
CollectGarbage();  // the plug-in objects let go of the extracted members
try { fso.DeleteFolder(scratch, true); } catch (err) { /* left in the temporary folder */ }

var summary = stats.files + " file(s) read, " + stats.pictures + " picture(s) decoded, " + stats.failures + " failure(s)" +
    (stats.unprobed > 0 ? ", " + stats.unprobed + " member(s) not probed" : "");

// ---- The contact sheet --------------------------------------------------------------------
// The summary, the failures, then every picture in a box of one size: scaled down when
// larger, scaled up with its pixels kept sharp when smaller, linked to its bitmap file.
var page = fso.CreateTextFile(fso.BuildPath(outFolder, "index.html"), true, true);
page.WriteLine("<!DOCTYPE html>");
page.WriteLine("<html><head><meta charset=\"utf-16\"><title>Tamrix tour</title><style>");
page.WriteLine(SHEET_STYLE);
page.WriteLine("</style></head><body><h1>Tamrix tour</h1>");
page.WriteLine("<p>" + stats.files + " file(s) read, " + stats.pictures + " picture(s) decoded, " +
               stats.failures + " failure(s).</p>");
if (stats.unprobed > 0) {
    page.WriteLine("<p>" + stats.unprobed + " of " + stats.members + " archive member(s) not probed: no picture plug-in's " +
                   "pattern matches their names, so they were listed, not extracted (<code>/probeall</code> asks them too).</p>");
}
if (failures.length > 0) {
    page.WriteLine("<h2>Failures</h2><table><tr><th>File</th><th>Plug-in</th><th>Code</th><th>What happened</th></tr>");
    for (var r = 0; r < failures.length; ++r) {
        var f = failures[r];
        page.WriteLine("<tr><td>" + html(f.label) + "</td><td>" + html(f.plugin) + "</td><td>" + f.code + "</td><td>" +
                       html(f.words) + "</td></tr>");
    }
    page.WriteLine("</table>");
}
page.WriteLine("<h2>Pictures</h2><div class=\"sheet\">");
for (var s = 0; s < sheet.length; ++s) {
    var item = sheet[s];
    var link = html(encodeURIComponent(item.image));
    page.WriteLine("<figure><a href=\"" + link + "\"><img" + (item.small ? " class=\"small\"" : "") + " src=\"" + link +
                   "\" alt=\"" + html(item.label) + "\"></a><figcaption><b>" + html(item.label) + "</b><br>" +
                   html(item.what) + "<br>" + html(item.plugin) + "</figcaption></figure>");
}
page.WriteLine("</div></body></html>");
page.Close();

WScript.Echo("");
WScript.Echo("Output: " + outFolder + " (open index.html in a browser)");
WScript.Echo(summary);
WScript.Quit(stats.failures > 0 ? 1 : 0);
