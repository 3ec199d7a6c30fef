// Shows the plug-in manager at work through the registered server, as any script client
// would use it:
//   cscript //nologo show_plugins.js [folder] [file]...
// Lists the plug-ins the manager finds (the current directory, the folder, the system
// directory and the viewer's plug-in folder), the file filter they make, and for each file
// the plug-in that reads it and the picture object it becomes.
var args = WScript.Arguments;
var NUL = String.fromCharCode(0);
var MAX_TYPES = 16;  // shown per plug-in; some plug-ins answer every number

function hex(e) { return (e.number >>> 0).toString(16); }

var host = new ActiveXObject("Tamrix.TamrixHost.1");
if (args.length > 0) host.Init(0, args(0));
WScript.Echo("Plug-ins found: " + host.Count);
var n = 0;
for (var e = new Enumerator(host); !e.atEnd(); e.moveNext()) {
    var spi = e.item();
    WScript.Echo("  " + (++n) + ". " + spi.About + "  [" + spi.Version + "]" +
                 (spi.CanPreview ? ", preview" : "") + (spi.CanConfigDlg ? ", settings dialog" : ""));
    for (var t = 0; t < MAX_TYPES; t++) {
        var pattern = spi.PluginInfo(2 * t + 2), description = spi.PluginInfo(2 * t + 3);
        if (pattern == "" || description == "") break;
        WScript.Echo("       " + description + " (" + pattern + ")");
    }
}

// The filter's texts, between NULs.
var filter = host.GetFileFilter(0), parts = [], start = 0;
for (var i = 0; i < filter.length; i++)
    if (filter.charCodeAt(i) === 0) { parts.push(filter.substring(start, i)); start = i + 1; }
WScript.Echo("File filter (" + filter.length + " characters):");
WScript.Echo("  " + parts[0] + ": " + parts[1]);
for (var p = 2; p + 1 < parts.length; p += 2) WScript.Echo("  " + parts[p] + ": " + parts[p + 1]);

for (var f = 1; f < args.length; f++) {
    var file = args(f);
    try {
        var reader = host.QuerySpiFromFile(file, 0);
        WScript.Echo(file + ": read by " + reader.About);
        var picture = host.GetPicture(file, 0);
        // The picture object measures in HIMETRIC (0.01 mm).
        WScript.Echo("  picture object: " + picture.Width + " x " + picture.Height + " HIMETRIC, about " +
                     Math.round(picture.Width * 96 / 2540) + " x " + Math.round(picture.Height * 96 / 2540) +
                     " pixels at 96 dpi");
    } catch (err) {
        WScript.Echo(file + ": no plug-in makes a picture of it (" + hex(err) + ")");
    }
}
