// Put into a copy of a contact sheet: once it has loaded, counts what a reader would see wrong
// (elements whose content runs out sideways, pictures not loaded, not linked to their file,
// shown enlarged without sharp pixels), the picture sizes shown, the figures and failure rows,
// and the failure rows that say in words what happened.
addEventListener("load", function () {
    var overflow = 0, broken = 0, unlinked = 0, blurred = 0, boxes = {}, boxCount = 0;
    var all = [document.documentElement].concat([].slice.call(document.body.querySelectorAll("*")));
    all.forEach(function (e) {
        if (e.clientWidth > 0 && e.scrollWidth > e.clientWidth) ++overflow;
    });
    [].forEach.call(document.images, function (img) {
        if (!img.complete || img.naturalWidth === 0) ++broken;
        var link = img.closest("a");
        if (!link || link.href !== img.src) ++unlinked;
        var size = img.clientWidth + "x" + img.clientHeight;
        if (!boxes[size]) boxCount += boxes[size] = 1;
        var larger = img.naturalWidth < img.clientWidth && img.naturalHeight < img.clientHeight;
        if (larger && getComputedStyle(img).imageRendering !== "pixelated") ++blurred;
    });
    document.body.setAttribute("data-verdict",
        "overflow=" + overflow + " broken=" + broken + " unlinked=" + unlinked + " boxes=" + boxCount +
        " blurred=" + blurred + " pictures=" + document.querySelectorAll("figure").length +
        " failures=" + document.querySelectorAll("tr td:first-child").length +
        " described=" + [].filter.call(document.querySelectorAll("tr td:last-child"), function (td) {
            // What happened, naming the file or the plug-in: more than a code.
            return !/^error 0x/.test(td.textContent) && /"[^"]+"|\.sp[hi]\b/.test(td.textContent);
        }).length);
});
