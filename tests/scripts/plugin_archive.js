// A script binds an archive plug-in, lists an archive with for-each and prints every
// entry, looks one member up by name, extracts one member into memory and one into a file,
// and compares their bytes with what it put into the archive.
// Argument 0: the test plug-ins' folder.
var spiDir = WScript.Arguments(0);

// A QQZ1 archive (header, then each member's record and data), after 16 bytes of other data.
var members = [
    {method: "QQZstore", path: "docs\\", name: "readme.txt", data: "Hello from a script archive.", time: 0x12345678, crc: 0x7F7F7F7F},
    {method: "raw", path: "", name: "empty.bin", data: "", time: 0, crc: 0},
    {method: "lz", path: "src\\", name: "main.c", data: "int main(void) { return 0; }\r\n", time: 0x01020304, crc: 0x11}
];
var archive = "QQZ1" + le(members.length, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 4);
for (var m = 0; m < members.length; ++m) {
    var r = members[m];
    archive += field(r.method, 8) + field(r.path, 40) + field(r.name, 40) + le(r.data.length, 4) +
               le(r.time, 4) + le(r.crc, 4) + r.data;
}
var PREFIX = 16;

function main() {
    var archivePath = temp + "\\plugin_script.qqz";
    writeFile(archivePath, new Array(PREFIX + 1).join("-") + archive);

    var p = new ActiveXObject("Tamrix.SusiePlugin.1");
    equal(p.Load(spiDir + "\\qqz.spi"), true, "Load");
    equal(p.Version, "00AM", "Version");

    var list = p.GetArchiveInfo(archivePath, PREFIX);
    equal(list.Count, members.length, "Count");
    var i = 0, e;
    for (var en = new Enumerator(list); !en.atEnd(); en.moveNext(), ++i) {
        e = en.item();
        WScript.Echo("entry " + (i + 1) + ": Method=" + e.Method + " Path=" + e.Path + " FileName=" + e.FileName +
                     " Position=" + e.Position + " CompSize=" + e.CompSize + " FileSize=" + e.FileSize +
                     " TimeStamp=" + new Date(e.TimeStamp).toUTCString() + " CRC=" + e.CRC);
        var want = members[i];
        equal(e.Method, want.method, "Method " + i);
        equal(e.Path, want.path, "Path " + i);
        equal(e.FileName, want.name, "FileName " + i);
        equal(e.FileSize, want.data.length, "FileSize " + i);
        equal(e.CompSize, want.data.length, "CompSize " + i);
        equal(e.CRC, want.crc, "CRC " + i);
        equal(archive.substr(e.Position - PREFIX, want.data.length), want.data, "Position " + i + " is where the data is");
        // A date (Wine 8's JScript cannot take typeof of one, but makes a Date of it): 0
        // stands for no time (30 December 1899); 0x12345678 s falls in 1979 in every zone.
        if (want.time === 0) equal(new Date(e.TimeStamp).getFullYear(), 1899, "TimeStamp 0");
        if (want.time === 0x12345678) equal(new Date(e.TimeStamp).getFullYear(), 1979, "TimeStamp year");
        equal(list.Item(i + 1) === e, true, "the enumerator and Item hand out the same entry " + i);
    }
    equal(i, members.length, "for-each visits every entry");

    // Looked up by name: the plug-in matches path and name, case and all.
    var found = p.GetFileInfo(archivePath, PREFIX, "src\\main.c");
    equal(found.FileName, "main.c", "GetFileInfo");
    var missing = 0;
    try { p.GetFileInfo(archivePath, PREFIX, "nothing"); } catch (x) { missing = x.number >>> 0; }
    equal(missing, 0x80004005, "GetFileInfo of a missing member fails with E_FAIL");

    // Into memory: the block holds the member's bytes. Where this host can read a byte array
    // they are compared directly; everywhere, the block's address is handed back as a memory
    // source (its length the entry's CompSize) and the file made from it compared.
    var first = list.Item(1);
    var heap = p.GetFile(archivePath, first);
    equal(heap.Length, members[0].data.length, "GetFile: Length");
    try {
        var bytes = new VBArray(heap.GetBytes()).toArray();
        var text = "";
        for (var b = 0; b < bytes.length; ++b) text += String.fromCharCode(bytes[b]);
        equal(text, members[0].data, "GetFile: bytes");
    } catch (x) {
        WScript.Echo("note: this script host cannot read a byte array (" + hex(x) + ")");
    }
    equal(p.GetFile(heap.Buffer, first).Length, members[0].data.length, "GetFile from an address takes CompSize bytes");
    var fromMemory = temp + "\\plugin_script_memory.txt";
    p.GetFileToFile(heap.Buffer, first, fromMemory);
    equal(readFile(fromMemory), members[0].data, "GetFile: the block's bytes, written out from its address");
    fso.DeleteFile(fromMemory);

    // Into a file, straight from the archive.
    var third = list.Item(3);
    var out = temp + "\\plugin_script_main.c";
    if (fso.FileExists(out)) fso.DeleteFile(out);
    p.GetFileToFile(archivePath, third, out);
    equal(readFile(out), members[2].data, "GetFileToFile: the file's bytes");
    // An empty member makes an empty file.
    p.GetFileToFile(archivePath, list.Item(2), out);
    equal(fso.GetFile(out).Size, 0, "GetFileToFile of an empty member");
    fso.DeleteFile(out);

    // Entries stay usable after the collection and the plug-in object are gone.
    list = null;
    p = null;
    CollectGarbage();
    equal(third.FileName, "main.c", "an entry outlives its collection");
    fso.DeleteFile(archivePath);
}

finish(main);
