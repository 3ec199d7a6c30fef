// Probes Susie plug-ins as the server binds them and prints what it finds:
//   spi_probe <file.spi>...
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "plugin/spi_interface.h"

namespace {

constexpr int MAX_TYPES_SHOWN = 16;

const char* KindName(DWORD kind) {
    switch (kind) {
    case SPI::KIND_PICTURE: return "picture (00IN)";
    case SPI::KIND_ARCHIVE: return "archive (00AM)";
    default: return "not usable";
    }
}

void Show(const char* path) {
    std::wstring widePath;
    Tamrix::ToWide(path, std::strlen(path), widePath);
    SPI::SpiInterface b(std::move(widePath));
    const DWORD kind = b.Probe();
    std::printf("%s\n  kind: %s, library %s\n", path, KindName(kind), b.IsLoaded() ? "loaded" : "not loaded");
    if (!b.IsLoaded() || !b.GetPluginInfoEntry()) return;
    char text[SPI::TEXT_BUFFER_SIZE] = {};
    b.GetPluginInfoEntry()(1, text, sizeof text - 1);
    std::printf("  about: %.*s\n", static_cast<int>(sizeof text), text);
    // Some plug-ins answer every number: an empty pattern ends the list too, and only so
    // many types are shown.
    for (int n = 0;; ++n) {
        char pattern[SPI::PATTERN_BUFFER_SIZE] = {}, description[SPI::PATTERN_BUFFER_SIZE] = {};
        if (!b.GetPluginInfoEntry()(2 * n + 2, pattern, sizeof pattern - 1) || !pattern[0]) break;
        if (!b.GetPluginInfoEntry()(2 * n + 3, description, sizeof description - 1)) break;
        if (n == MAX_TYPES_SHOWN) {
            std::printf("  (more types not shown)\n");
            break;
        }
        std::printf("  type %d: %s (%s)\n", n, description, pattern);
    }
    if (kind == SPI::KIND_PICTURE)
        std::printf("  preview: %s\n", b.GetPreviewEntry() ? "yes" : "no");
    // The wide forms the server calls, with UTF-16 names, in place of the narrow ones.
    std::string wide;
    auto note = [&wide](bool has, const char* name) {
        if (has) wide += std::string(" ") + name;
    };
    note(b.GetPluginInfoWEntry(), "GetPluginInfoW");
    note(b.IsSupportedWEntry(), "IsSupportedW");
    note(b.GetPictureInfoWEntry(), "GetPictureInfoW");
    note(b.GetPictureWEntry(), "GetPictureW");
    note(b.GetPreviewWEntry(), "GetPreviewW");
    note(b.GetArchiveInfoWEntry(), "GetArchiveInfoW");
    note(b.GetFileInfoWEntry(), "GetFileInfoW");
    note(b.GetFileWEntry(), "GetFileW");
    std::printf("  wide entries:%s\n", wide.empty() ? " none" : wide.c_str());
    std::printf("  configuration dialog: %s\n", b.Export(SPI::exports::ConfigurationDlg) ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: spi_probe <file.spi>...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) Show(argv[i]);
    return 0;
}
