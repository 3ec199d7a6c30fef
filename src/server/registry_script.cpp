#include "registry_script.h"

#include <new>

#include "../common/handles.h"

namespace Tamrix {
namespace {

char Fold(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

HRESULT FromWin32(LONG e) noexcept {
    return e == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(e));
}

bool Missing(LONG e) noexcept {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// Strings are written with their terminating NUL counted in the data length.
LONG SetString(HKEY key, const wchar_t* name, const std::wstring& data) noexcept {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

// Appends script text, read in the system's ANSI code page as the narrow registry calls would.
void AppendNarrow(std::string_view text, std::wstring& out) {
    if (text.empty()) return;
    const int length = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (n <= 0) throw std::bad_alloc();
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, out.data() + at, n);
}

class Runner {
public:
    Runner(const RegistryScript& s, const Replacements& r, bool reg) noexcept : s_(s), r_(r), reg_(reg) {}

    HRESULT Block(HKEY parent, size_t& i) noexcept {
        while (i < s_.ops.size()) {
            const Op& op = s_.ops[i++];
            HRESULT hr = S_OK;
            switch (op.kind) {
            case OpKind::End:
                return S_OK;
            case OpKind::NamedValue:
                hr = NamedValue(parent, op);
                break;
            case OpKind::KeyNoRemove:
            case OpKind::KeyForceRemove:
            case OpKind::Key:
                hr = Key(parent, op, i);
                break;
            default:
                return E_FAIL;  // a value or block with no key before it
            }
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    }

private:
    HRESULT Text(std::uint8_t index, std::wstring& out) const noexcept {
        if (index >= s_.strings.size()) return E_FAIL;
        return r_.Expand(s_.strings[index], out);
    }

    HRESULT NamedValue(HKEY key, const Op& op) noexcept {
        std::wstring name, data;
        HRESULT hr = Text(op.name, name);
        if (FAILED(hr)) return hr;
        if (!reg_) {
            LONG e = RegDeleteValueW(key, name.c_str());
            return Missing(e) ? S_OK : FromWin32(e);
        }
        hr = Text(op.data, data);
        if (FAILED(hr)) return hr;
        return FromWin32(SetString(key, name.c_str(), data));
    }

    void SkipBlock(size_t& i) const noexcept {
        for (int depth = 1; i < s_.ops.size() && depth > 0; ++i) {
            if (s_.ops[i].kind == OpKind::Begin) ++depth;
            if (s_.ops[i].kind == OpKind::End) --depth;
        }
    }

    HRESULT Key(HKEY parent, const Op& op, size_t& i) noexcept {
        std::wstring name;
        HRESULT hr = Text(op.name, name);
        if (FAILED(hr)) return hr;
        const Op* defaultValue = nullptr;
        if (i < s_.ops.size() && s_.ops[i].kind == OpKind::DefaultValue) defaultValue = &s_.ops[i++];
        const bool block = i < s_.ops.size() && s_.ops[i].kind == OpKind::Begin;
        if (block) ++i;
        return reg_ ? WriteKey(parent, op.kind, name, defaultValue, block, i)
                    : RemoveKey(parent, op.kind, name, block, i);
    }

    HRESULT WriteKey(HKEY parent, OpKind kind, const std::wstring& name, const Op* defaultValue,
                     bool block, size_t& i) noexcept {
        if (kind == OpKind::KeyForceRemove) {
            LONG e = DeleteKeyTree(parent, name.c_str(), s_.view);
            if (e != ERROR_SUCCESS && !Missing(e)) return FromWin32(e);
        }
        UniqueRegKey key;
        LONG e = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE | s_.view, nullptr, key.put(), nullptr);
        if (e != ERROR_SUCCESS) return FromWin32(e);
        if (defaultValue) {
            std::wstring data;
            HRESULT hr = Text(defaultValue->data, data);
            if (FAILED(hr)) return hr;
            e = SetString(key.get(), nullptr, data);
            if (e != ERROR_SUCCESS) return FromWin32(e);
        }
        return block ? Block(key.get(), i) : S_OK;
    }

    HRESULT RemoveKey(HKEY parent, OpKind kind, const std::wstring& name, bool block, size_t& i) noexcept {
        UniqueRegKey key;
        LONG e = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE | s_.view, key.put());
        if (Missing(e)) {
            if (block) SkipBlock(i);
            return S_OK;
        }
        if (e != ERROR_SUCCESS) return FromWin32(e);
        if (block) {
            HRESULT hr = Block(key.get(), i);
            if (FAILED(hr)) return hr;
        }
        bool deleteTree = kind == OpKind::KeyForceRemove ||
                          (kind == OpKind::Key && s_.plainKeys == PlainKeyRemoval::WithSubkeys);
        bool deleteIfEmpty = kind == OpKind::Key && s_.plainKeys == PlainKeyRemoval::IfNoSubkeys;
        if (deleteIfEmpty) {
            DWORD subkeys = 0;
            e = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
            if (e != ERROR_SUCCESS) return FromWin32(e);
            deleteTree = subkeys == 0;
        }
        key.reset();
        if (!deleteTree) return S_OK;
        e = DeleteKeyTree(parent, name.c_str(), s_.view);
        return Missing(e) ? S_OK : FromWin32(e);
    }

    const RegistryScript& s_;
    const Replacements& r_;
    bool reg_;
};

// Tokens of the text script.
class Lexer {
public:
    enum class Kind { End, Open, Close, Equals, Word, Quoted, Bad };
    struct Token {
        Kind kind;
        std::string text;
    };

    explicit Lexer(std::string_view t) noexcept : t_(t) {}

    Token Next() {
        while (pos_ < t_.size() && IsSpace(t_[pos_])) ++pos_;
        if (pos_ == t_.size()) return {Kind::End, {}};
        const char c = t_[pos_];
        if (c == '{' || c == '}' || c == '=') {
            ++pos_;
            return {c == '{' ? Kind::Open : c == '}' ? Kind::Close : Kind::Equals, {}};
        }
        if (c == '\'') {
            std::string s;
            for (++pos_; pos_ < t_.size(); ++pos_) {
                if (t_[pos_] == '\'') {
                    if (pos_ + 1 < t_.size() && t_[pos_ + 1] == '\'') {
                        s += '\'';
                        ++pos_;
                        continue;
                    }
                    ++pos_;
                    return {Kind::Quoted, std::move(s)};
                }
                s += t_[pos_];
            }
            return {Kind::Bad, {}};
        }
        const size_t start = pos_;
        while (pos_ < t_.size() && !IsSpace(t_[pos_]) && t_[pos_] != '{' && t_[pos_] != '}' &&
               t_[pos_] != '=' && t_[pos_] != '\'')
            ++pos_;
        return {Kind::Word, std::string(t_.substr(start, pos_ - start))};
    }
    Token Peek() {
        const size_t saved = pos_;
        Token t = Next();
        pos_ = saved;
        return t;
    }

private:
    static bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }
    std::string_view t_;
    size_t pos_ = 0;
};

class Parser {
public:
    Parser(std::string_view text, std::vector<Op>& ops, std::vector<std::string>& strings)
        : lex_(text), ops_(ops), strings_(strings) {}

    bool Items(int depth) {
        for (;;) {
            Lexer::Token t = lex_.Next();
            if (t.kind == Lexer::Kind::End) return depth == 0;
            if (t.kind == Lexer::Kind::Close) return depth > 0;
            if (t.kind == Lexer::Kind::Word && SameName(t.text, "val")) {
                std::uint8_t name = 0, data = 0;
                if (!Name(lex_.Next(), name) || !Data(data)) return false;
                ops_.push_back({OpKind::NamedValue, name, data});
                continue;
            }
            OpKind kind = OpKind::Key;
            if (t.kind == Lexer::Kind::Word && SameName(t.text, "NoRemove")) kind = OpKind::KeyNoRemove;
            if (t.kind == Lexer::Kind::Word && SameName(t.text, "ForceRemove")) kind = OpKind::KeyForceRemove;
            if (kind != OpKind::Key) t = lex_.Next();
            std::uint8_t name = 0;
            if (!Name(t, name)) return false;
            ops_.push_back({kind, name, 0});
            if (lex_.Peek().kind == Lexer::Kind::Equals) {
                std::uint8_t data = 0;
                if (!Data(data)) return false;
                ops_.push_back({OpKind::DefaultValue, 0, data});
            }
            if (lex_.Peek().kind == Lexer::Kind::Open) {
                lex_.Next();
                ops_.push_back({OpKind::Begin, 0, 0});
                if (!Items(depth + 1)) return false;
                ops_.push_back({OpKind::End, 0, 0});
            }
        }
    }

private:
    bool Store(std::string s, std::uint8_t& index) {
        if (strings_.size() > 0xFF) return false;
        index = static_cast<std::uint8_t>(strings_.size());
        strings_.push_back(std::move(s));
        return true;
    }
    bool Name(Lexer::Token t, std::uint8_t& index) {
        if (t.kind != Lexer::Kind::Word && t.kind != Lexer::Kind::Quoted) return false;
        return Store(std::move(t.text), index);
    }
    // "= s 'data'"
    bool Data(std::uint8_t& index) {
        if (lex_.Next().kind != Lexer::Kind::Equals) return false;
        Lexer::Token type = lex_.Next();
        if (type.kind != Lexer::Kind::Word || !SameName(type.text, "s")) return false;
        Lexer::Token data = lex_.Next();
        if (data.kind != Lexer::Kind::Quoted) return false;
        return Store(std::move(data.text), index);
    }

    Lexer lex_;
    std::vector<Op>& ops_;
    std::vector<std::string>& strings_;
};

}  // namespace

HRESULT Replacements::Add(const char* name, std::wstring value) noexcept {
    try {
        pairs_.emplace_back(name, std::move(value));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Replacements::Add(const char* name, std::string_view value) noexcept {
    try {
        std::wstring wide;
        AppendNarrow(value, wide);
        return Add(name, std::move(wide));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Replacements::Expand(std::string_view s, std::wstring& out) const noexcept {
    constexpr size_t MAX_NAME = 31;
    try {
        out.clear();
        // "%" is no trail byte in any ANSI code page, so the text splits safely at each one.
        size_t literal = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '%') continue;
            AppendNarrow(s.substr(literal, i - literal), out);
            const size_t close = s.find('%', i + 1);
            if (close == std::string_view::npos) return E_FAIL;
            const std::string_view name = s.substr(i + 1, close - i - 1);
            i = close;
            literal = close + 1;
            if (name.empty()) {
                out += L'%';
                continue;
            }
            if (name.size() > MAX_NAME) return E_FAIL;
            const std::wstring* value = nullptr;
            for (const auto& [n, v] : pairs_)
                if (SameName(n, name)) {
                    value = &v;
                    break;
                }
            if (!value) return E_FAIL;
            out += *value;
        }
        AppendNarrow(s.substr(literal), out);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RunRegistryScript(const RegistryScript& script, const Replacements& r, bool reg) noexcept {
    // Every string is expanded once before anything is written, so a bad replacement
    // leaves the registry untouched.
    std::wstring scratch;
    auto expands = [&](std::uint8_t index) noexcept {
        return index < script.strings.size() ? r.Expand(script.strings[index], scratch) : E_FAIL;
    };
    for (const Op& op : script.ops) {
        HRESULT hr = S_OK;
        switch (op.kind) {
        case OpKind::Begin:
        case OpKind::End:
            break;
        case OpKind::DefaultValue:
            if (reg) hr = expands(op.data);
            break;
        case OpKind::NamedValue:
            hr = expands(op.name);
            if (SUCCEEDED(hr) && reg) hr = expands(op.data);
            break;
        default:
            hr = expands(op.name);
            break;
        }
        if (FAILED(hr)) return hr;
    }
    Runner runner(script, r, reg);
    size_t i = 0;
    HRESULT hr = runner.Block(HKEY_CLASSES_ROOT, i);
    if (SUCCEEDED(hr) && i != script.ops.size()) hr = E_FAIL;  // an End with no Begin
    return hr;
}

HRESULT ParsedScript::Parse(std::string_view text) noexcept {
    try {
        ops_.clear();
        text_.clear();
        strings_.clear();
        Parser parser(text, ops_, text_);
        if (!parser.Items(0)) return E_FAIL;
        strings_.assign(text_.begin(), text_.end());
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

RegistryScript ParsedScript::Script() const noexcept {
    return {ops_, strings_, PlainKeyRemoval::IfNoSubkeys};
}

LONG DeleteKeyTree(HKEY parent, const wchar_t* name, REGSAM view) noexcept {
    UniqueRegKey key;
    LONG e = RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE | view, key.put());
    if (e != ERROR_SUCCESS) return e;
    wchar_t sub[256];
    for (;;) {
        DWORD size = sizeof sub / sizeof sub[0];
        e = RegEnumKeyExW(key.get(), 0, sub, &size, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) return e;
        e = DeleteKeyTree(key.get(), sub, view);
        if (e != ERROR_SUCCESS) return e;
    }
    key.reset();
    // The view must be named for the deletion too; the plain call stays where none is.
    return view ? RegDeleteKeyExW(parent, name, view, 0) : RegDeleteKeyW(parent, name);
}

}  // namespace Tamrix
