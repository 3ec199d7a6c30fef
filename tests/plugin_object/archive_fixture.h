// Helpers of the archive tests: QQZ1 archives built from members, and what an entry object
// says about its member.
#pragma once
#include <algorithm>

#include "plugin_fixture.h"

namespace plugtest {

struct QqzMemberDesc {
    std::string method;  // up to 8 bytes, copied raw (no NUL needed)
    std::string path;
    std::string name;
    std::vector<BYTE> data;
    int32_t timestamp = 0;
    uint32_t crc = 0;
};

struct QqzCodes {
    int32_t archiveInfo = 0;
    int32_t fileInfo = 0;
    int32_t file = 0;
};

inline std::vector<BYTE> Qqz(const std::vector<QqzMemberDesc>& members, uint32_t flags = 0, QqzCodes codes = {}) {
    testspi::QqzHeader h{};
    std::memcpy(h.magic, "QQZ1", 4);
    h.count = static_cast<uint32_t>(members.size());
    h.archiveInfoCode = codes.archiveInfo;
    h.fileInfoCode = codes.fileInfo;
    h.fileCode = codes.file;
    h.flags = flags;
    std::vector<BYTE> out(reinterpret_cast<BYTE*>(&h), reinterpret_cast<BYTE*>(&h + 1));
    for (const QqzMemberDesc& m : members) {
        testspi::QqzMember r{};
        std::memcpy(r.method, m.method.data(), std::min(m.method.size(), sizeof r.method));
        std::memcpy(r.path, m.path.data(), std::min(m.path.size(), sizeof r.path));
        std::memcpy(r.name, m.name.data(), std::min(m.name.size(), sizeof r.name));
        r.size = static_cast<uint32_t>(m.data.size());
        r.timestamp = m.timestamp;
        r.crc = m.crc;
        out.insert(out.end(), reinterpret_cast<BYTE*>(&r), reinterpret_cast<BYTE*>(&r + 1));
        out.insert(out.end(), m.data.begin(), m.data.end());
    }
    return out;
}

// Where member `index` keeps its data inside the archive.
inline size_t QqzDataOffset(const std::vector<QqzMemberDesc>& members, size_t index) {
    size_t at = sizeof(testspi::QqzHeader);
    for (size_t i = 0; i < index; ++i) at += sizeof(testspi::QqzMember) + members[i].data.size();
    return at + sizeof(testspi::QqzMember);
}

inline std::vector<BYTE> Pattern(uint8_t seed, size_t n) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = testspi::pattern_byte(seed, static_cast<uint32_t>(i));
    return v;
}

// Everything an entry says, read through its own interface.
struct EntryView {
    std::string method, path, fileName;
    LONG position = 0, compSize = 0, fileSize = 0, crc = 0;
    DATE timeStamp = -1;
};

inline std::string Text(ISpiFileInfo* e, HRESULT (STDMETHODCALLTYPE ISpiFileInfo::*get)(BSTR*)) {
    Bstr b;
    EXPECT_EQ(S_OK, (e->*get)(b.put()));
    EXPECT_NE(nullptr, b.get()) << "a text property is never a null string";
    return Narrow(b.get());
}

inline LONG Number(ISpiFileInfo* e, HRESULT (STDMETHODCALLTYPE ISpiFileInfo::*get)(LONG*)) {
    LONG v = 0x5A5A5A5A;
    EXPECT_EQ(S_OK, (e->*get)(&v));
    return v;
}

inline EntryView View(IUnknown* entry) {
    EntryView v;
    ComPtr<ISpiFileInfo> e;
    EXPECT_EQ(S_OK, entry->QueryInterface(IID_ISpiFileInfo, e.put_void()));
    if (!e) return v;
    v.method = Text(e.get(), &ISpiFileInfo::get_Method);
    v.path = Text(e.get(), &ISpiFileInfo::get_Path);
    v.fileName = Text(e.get(), &ISpiFileInfo::get_FileName);
    v.position = Number(e.get(), &ISpiFileInfo::get_Position);
    v.compSize = Number(e.get(), &ISpiFileInfo::get_CompSize);
    v.fileSize = Number(e.get(), &ISpiFileInfo::get_FileSize);
    v.crc = Number(e.get(), &ISpiFileInfo::get_CRC);
    EXPECT_EQ(S_OK, e->get_TimeStamp(&v.timeStamp));
    return v;
}

}  // namespace plugtest
