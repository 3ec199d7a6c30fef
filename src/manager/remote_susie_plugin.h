// Remote plug-ins: those a manager has served by another process. A plug-in isolated on
// request (Init flag 16) is served by the manager's helper process (helper_process.h), and so
// is, in the 64-bit server, every 32-bit plug-in, by a helper running the 32-bit server. The
// 64-bit server's 32-bit plug-ins of a manager without isolation still go the old road, a
// plug-in object of the 32-bit server in the system's DLL surrogate. The manager's list,
// selection walk, picture loading and file filter use them through SPI::RemotePlugin; the
// objects handed to clients are RemotePluginObjects (or, through the surrogate, that server's
// own plug-in objects), with the same interfaces as ours.
#pragma once
#include <windows.h>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Tamrix.h"
#include "../common/automation_types.h"
#include "../common/com_ptr.h"
#include "../plugin/remote_plugin.h"
#include "helper_process.h"

namespace Tamrix {

// One manager's way to the plug-ins served for it in one kind of process: the first plug-in
// object there, which makes every further one in its own process (ISusiePluginRemote::NewPlugin),
// and the helper process it lives in. One process per manager and road, not one per object;
// one that has ended is replaced when next needed. Apartment-bound, like the manager.
class RemoteSession {
public:
    // Served by a helper for plug-ins of `machine`, or (helper false) by the surrogate.
    RemoteSession(bool helper, WORD machine) noexcept : helperRoad_(helper), machine_(machine) {}

    // A new plug-in object over there, loaded with the file at `path`; `loaded` tells whether
    // the file loaded as a plug-in there, `helper` the process it lives in (null for the
    // surrogate). The failure when no object could be had: the activation's, or how the
    // helper ended.
    HRESULT NewObject(const std::wstring& path, ComPtr<ISusiePlugin>& out, bool& loaded,
                      std::shared_ptr<HelperProcess>& helper) noexcept;

    // The time limit of calls into the helper's plug-ins, ms (0: none).
    void SetCallTimeout(LONG timeout) noexcept;
    // The code page of the helper's plug-ins' narrow texts and names (0: the thread's ANSI
    // code page).
    void SetCodePage(LONG codePage) noexcept;

    // SPI::RemotePlugin::CountDeclining of plug-ins served by this session's helper, asked of
    // its first object (a helper that has ended is replaced first). 0 for the surrogate.
    size_t CountDeclining(std::span<const std::wstring> paths, const SPI::PluginName& name,
                          const void* header) noexcept;

private:
    HRESULT Connect() noexcept;
    // Forgets a helper that has ended: the next call connects again.
    void DropEnded() noexcept;
    // Gives the surrogate's first object the code page.
    void UseCodePageThere() noexcept;

    bool helperRoad_;
    WORD machine_;
    LONG timeout_ = DEFAULT_CALL_TIMEOUT;
    LONG codePage_ = 0;
    ComPtr<ISusiePluginRemote> first_;
    std::shared_ptr<HelperProcess> helper_;
};

// The sessions of one manager: they outlive the list, so that its entries can use them to the end.
struct RemoteSessions {
    RemoteSessions();
    void SetCallTimeout(LONG timeout) noexcept;
    void SetCodePage(LONG codePage) noexcept;

    std::shared_ptr<RemoteSession> isolated;  // this width's plug-ins, in a helper
    std::shared_ptr<RemoteSession> foreign;   // the 64-bit server's 32-bit ones, in a helper
    std::shared_ptr<RemoteSession> surrogate; // the same without isolation, in the surrogate
};

class RemoteSusiePlugin final : public SPI::RemotePlugin {
public:
    explicit RemoteSusiePlugin(std::shared_ptr<RemoteSession> session) noexcept : session_(std::move(session)) {}

    std::unique_ptr<RemotePlugin> Clone() const override { return std::make_unique<RemoteSusiePlugin>(session_); }

    DWORD Load(const std::wstring& path) noexcept override;
    void Unload() noexcept override;
    // Loaded, and in a helper that still runs.
    bool IsLoaded() const noexcept override { return object_ && !(helper_ && helper_->Ended()); }
    HRESULT LoadFailure() const noexcept override { return loadFailure_; }
    DWORD Kind() const noexcept override;

    HRESULT IsSupported(const SPI::PluginName& name, const void* header) noexcept override;
    bool InfoText(int infoNo, int size, std::wstring& text) override;
    HRESULT Decode(SPI::Source& source, SPI::DecodedPicture& out) override;
    HRESULT ReadPictureProperties(SPI::Source& source, SPI::PictureProperties& out) override;
    HRESULT WritePicture(const std::wstring& destPath, std::span<const BYTE> info,
                         std::span<const BYTE> pixels) override;
    size_t CountDeclining(std::span<const std::wstring> paths, const SPI::PluginName& name,
                          const void* header) noexcept override {
        return session_->CountDeclining(paths, name, header);
    }
    bool ServedWith(const SPI::RemotePlugin& other) const noexcept override {
        const auto* served = dynamic_cast<const RemoteSusiePlugin*>(&other);
        return served && served->session_ == session_;
    }
    HRESULT NewObject(const std::wstring& path, REFIID riid, void** out) noexcept override;

private:
    // `source` as the plug-in object over there takes it: a name or the byte array itself
    // (`name` holds the text), and its length as a long.
    static HRESULT SourceOverThere(SPI::Source& source, VARIANT& src, Bstr& name, LONG& length);
    // S_OK when there is an object over there to ask: E_FAIL for none, how its helper ended
    // for one that has.
    HRESULT Usable() const noexcept;
    // call(src, length) with the source as it goes over there, when the plug-in is loaded in
    // a helper that still runs; its answer as the helper's state says.
    template <class Call>
    HRESULT CallWithSource(SPI::Source& source, Call&& call);

    std::shared_ptr<RemoteSession> session_;
    std::shared_ptr<HelperProcess> helper_;
    ComPtr<ISusiePlugin> object_;
    ComPtr<ISusiePluginRemote> remote_;
    HRESULT loadFailure_ = S_OK;
    std::wstring path_;  // as loaded, for the words of a failure
};

// The remote plug-ins of a new manager, bound through `sessions`.
std::unique_ptr<SPI::RemotePlugins> NewRemotePlugins(std::shared_ptr<RemoteSessions> sessions);
// The remote plug-ins of a conversion worker's list: another width's plug-ins only, each in
// a helper as isolated ones are, with the call time limit `timeout` and the code page
// `codePage`.
std::unique_ptr<SPI::RemotePlugins> NewForeignPlugins(LONG timeout, LONG codePage);

}  // namespace Tamrix
