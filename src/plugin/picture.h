// A picture decoded by a picture plug-in: the bitmap information block and the pixel block
// it handed back, each owned from the moment the plug-in returns, and the bitmap file they
// make, written to disk or composed in memory. The plug-in object and the manager both
// decode through here. Errors: HRESULTs; only std::bad_alloc is thrown.
#pragma once
#include <windows.h>
#include <span>
#include <string>

#include "../common/handles.h"
#include "../common/local_block.h"
#include "bitmap.h"
#include "source.h"
#include "spi_interface.h"

namespace SPI {

enum class Decoder { Picture, Preview };

// The bitmap file that an information block of `infoSize` bytes and a pixel block of
// `pixelSize` bytes make, in a new movable global block of exactly the file's size: E_FAIL
// for a layout refused (bitmap::ComputeLayout), E_OUTOFMEMORY when the block cannot be had.
HRESULT ComposeBitmapFile(const void* info, size_t infoSize, const void* pixels, size_t pixelSize,
                          Tamrix::UniqueHglobal& out) noexcept;

// What GetPictureInfo(W) tells of a picture, without decoding it.
struct PictureProperties {
    LONG left = 0, top = 0, width = 0, height = 0;
    LONG xDensity = 0, yDensity = 0, colorDepth = 0;
    std::wstring text;  // the plug-in's text block, empty when it gives none
};

// GetPictureInfo(W) of a bound picture plug-in on `source` (left held, so the next
// plug-in of a walk can be asked):
// E_FAIL without calling in when `plugin` is not one, E_INVALIDARG for a name a narrow entry
// cannot be given, a plug-in failure as its code mapped. The text block that comes with
// success is read (no further than the block) and freed; one that comes with a failure is
// left alone, as the plug-in may have freed it already.
HRESULT ReadPictureProperties(const SpiInterface& plugin, Source& source, PictureProperties& out);

// The answer of a writer that does not write the destination's type.
inline constexpr HRESULT E_TYPE_NOT_WRITTEN = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

// CreatePicture(W) of a bound picture plug-in: the picture of the blocks `info` and
// `pixels` (which it only reads) as the file destPath, written beside it and moved over it
// only when complete (WriteThroughReplacing). E_TYPE_NOT_WRITTEN when the plug-in has no
// writer or answers 2 or -1 (it does not write that extension), with nothing written; E_FAIL
// for no bound picture plug-in, blocks that do not hold the picture their header describes
// (bitmap::ComputeLayout; the writer is not called) or a destination that cannot be
// written; E_INVALIDARG for a name a narrow entry cannot be given; another failure as its
// code mapped.
HRESULT WritePictureFile(const SpiInterface& plugin, const std::wstring& destPath, HLOCAL info, HLOCAL pixels);
// The same into the file `path` itself, an empty file made for the writer, which the
// caller moves or removes.
HRESULT WritePictureInto(const SpiInterface& plugin, const std::wstring& path, HLOCAL info, HLOCAL pixels);

class DecodedPicture {
public:
    // Decodes `source` with the plug-in's GetPicture or GetPreview (their wide forms where
    // the plug-in has them), releasing the source right after the plug-in returns. E_FAIL
    // without calling in unless `plugin` is a bound picture plug-in; E_NOTIMPL for a preview
    // the plug-in does not offer; E_INVALIDARG, without calling in, for a name a narrow entry
    // cannot be given (PluginName::Narrow); a plug-in failure as its code mapped. One block
    // handed back as both outputs gets one owner, shared.
    HRESULT Decode(const SpiInterface& plugin, Decoder which, Source& source);
    // The same without releasing the source, so that another plug-in can be asked next.
    HRESULT DecodeHeld(const SpiInterface& plugin, Decoder which, Source& source);

    // Blocks of its own holding the bytes a remote plug-in decoded: E_OUTOFMEMORY when they
    // cannot be had.
    HRESULT Adopt(std::span<const BYTE> info, std::span<const BYTE> pixels) noexcept;
    // The same blocks made already.
    void Adopt(Tamrix::SharedLocalBlock info, Tamrix::SharedLocalBlock pixels) noexcept;

    // Either may be null: a plug-in can succeed and still hand back no block.
    const Tamrix::SharedLocalBlock& Info() const noexcept { return info_; }
    const Tamrix::SharedLocalBlock& Pixels() const noexcept { return pixels_; }
    // Both blocks are there and locked.
    bool HasBothBlocks() const noexcept;

    // The bitmap file's sizes, checked against what the blocks hold: E_FAIL when a block
    // is missing, or the header asks for more bytes than a block has.
    HRESULT Layout(bitmap::Layout& out) const noexcept;
    // The bitmap file at destPath, replacing it only once complete; E_FAIL on any failure.
    HRESULT WriteBitmapFile(const std::wstring& destPath) const;
    // The same bytes in a new movable global block of exactly the file's size.
    // E_FAIL for a layout refused as above, E_OUTOFMEMORY when the block cannot be had.
    HRESULT ComposeBitmap(Tamrix::UniqueHglobal& out) const noexcept;

    // Names where the blocks came from in the words of a failure ("faulty.spi's picture of
    // \"a.png\""); DecodeHeld names its own.
    void SetOrigin(const SpiInterface& plugin, const Source& source);

private:
    // Notes why the blocks make no picture.
    void NoteOrigin(const wchar_t* why) const noexcept;

    Tamrix::SharedLocalBlock info_;
    Tamrix::SharedLocalBlock pixels_;
    std::wstring origin_;
};

}  // namespace SPI
