// A script's long run in one script host: 3,000 walks with the default flags over the bundled
// plug-ins and the kit's plug-in that keeps a TLS slot at every load; a walk loads and lets go
// of the plug-ins not loaded that decline its file. At the end the leaking plug-in still reads
// its file. Arguments: the test plug-ins' folder, the bundled plug-ins' folder, the samples'.
var args = WScript.Arguments;

function main() {
    var folder = temp + "\\tamrix_long_run_" + fso.GetTempName().replace(".", "_");
    fso.CreateFolder(folder);
    fso.CopyFile(args(0) + "\\qqa_tlsleak.spi", folder + "\\");
    fso.CopyFile(args(1) + "\\*tamrix.spi", folder + "\\");
    writeFile(folder + "\\leaking.qqa", "QQA1" + le(4, 4) + le(3, 4) + le(24, 2) + zeros(90));
    var none = args(2) + "\\hostile\\notapicture.txt";
    var files = [[args(2) + "\\pictures\\rgb.png", "Tamrix picture plug-in"], [none, ""],
                 [args(2) + "\\archives\\pictures.zip", "Tamrix archive plug-in"], [none, ""]];
    var host = new ActiveXObject("Tamrix.TamrixHost.1");
    host.Init(0, folder);
    for (var walk = 0; walk < 3000; ++walk) {
        var file = files[walk % files.length];
        if (file[1] === "")
            equal(failure(function () { host.QuerySpiFromFile(file[0], 0); }), 0x80004005, "walk " + walk + ": none");
        else
            equal(host.QuerySpiFromFile(file[0], 0).About.substr(0, file[1].length), file[1], "walk " + walk);
    }
    equal(host.QuerySpiFromFile(folder + "\\leaking.qqa", 0).About, "QQA test plug-in keeping a TLS slot per load",
          "the leaking plug-in after 1,500 loads and more");
}

finish(main);
