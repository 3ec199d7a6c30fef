// Put into a copy of a contact sheet: once the page has loaded, writes what a reader would
// see wrong into the body's data-verdict attribute, as counts:
//   overflow  elements whose content runs out of them sideways (the page itself included)
//   broken    pictures that did not load
//   unlinked  pictures that are not a link to their own file
//   boxes     the different sizes the pictures are shown at (1: one uniform box)
//   blurred   pictures shown larger than they are without sharp pixels
//   pictures, failures  the figures and the rows of the failure table
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
        " failures=" + document.querySelectorAll("tr td:first-child").length);
});
