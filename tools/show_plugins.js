// Lists Susie plug-ins through the registered server, as any script client would:
//   cscript //nologo show_plugins.js <file.spi>...
var args = WScript.Arguments;
for (var i = 0; i < args.length; i++) {
    var spi = new ActiveXObject("Tamrix.SusiePlugin.1");
    var ok = spi.Load(args(i));
    WScript.Echo(args(i) + (ok ? "" : "  (not a usable plug-in)"));
    if (!ok) continue;
    WScript.Echo("  Version: " + spi.Version + ", About: " + spi.About);
    for (var n = 0; ; n++) {
        var pattern = spi.PluginInfo(2 * n + 2), description = spi.PluginInfo(2 * n + 3);
        if (pattern == "" || description == "") break;
        WScript.Echo("  " + description + " (" + pattern + ")");
    }
    WScript.Echo("  CanPreview: " + (spi.CanPreview ? "yes" : "no") +
                 ", CanConfigDlg: " + (spi.CanConfigDlg ? "yes" : "no"));
    spi.Free();
}
