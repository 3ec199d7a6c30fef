// The remote plug-ins of the 64-bit server, its 32-bit ones. A 64-bit process cannot load a
// 32-bit library, so each is served by a plug-in object of the 32-bit server (Tamrix.dll,
// registered as for 64-bit clients), which COM runs in the system's DLL surrogate when asked
// for it out of process as a 32-bit server. The manager's list, selection walk, picture
// loading and file filter use it through SPI::RemotePlugin; the objects handed to clients
// are that server's own plug-in objects, with the same interfaces as ours.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "Tamrix.h"
#include "../common/com_ptr.h"
#include "../plugin/remote_plugin.h"

namespace Tamrix {

// One manager's way to the 32-bit server: the first plug-in object activated there, which
// makes every further one in its own process (ISusiePluginRemote::NewPlugin). One activation
// per manager, not one per object: Wine 8 starts a surrogate for each activation, a second
// or more apiece, where Windows keeps one. Apartment-bound, like the manager that holds it.
class RemoteSession {
public:
    // A new plug-in object of the 32-bit server, loaded with the file at `path`; `loaded`
    // tells whether the file loaded as a plug-in there. The failure when no object could be had.
    HRESULT NewObject(const std::wstring& path, ComPtr<ISusiePlugin>& out, bool& loaded) noexcept;

private:
    ComPtr<ISusiePluginRemote> first_;
};

class RemoteSusiePlugin final : public SPI::RemotePlugin {
public:
    explicit RemoteSusiePlugin(std::shared_ptr<RemoteSession> session) noexcept : session_(std::move(session)) {}

    std::unique_ptr<RemotePlugin> Clone() const override { return std::make_unique<RemoteSusiePlugin>(session_); }

    DWORD Load(const std::wstring& path) noexcept override;
    void Unload() noexcept override;
    bool IsLoaded() const noexcept override { return static_cast<bool>(object_); }
    HRESULT LoadFailure() const noexcept override { return loadFailure_; }
    DWORD Kind() const noexcept override;

    HRESULT IsSupported(const SPI::PluginName& name, const void* header) noexcept override;
    bool InfoText(int infoNo, int size, std::wstring& text) override;
    HRESULT Decode(SPI::Source& source, std::vector<BYTE>& info, std::vector<BYTE>& pixels) override;
    HRESULT NewObject(const std::wstring& path, REFIID riid, void** out) noexcept override;

private:
    std::shared_ptr<RemoteSession> session_;
    ComPtr<ISusiePlugin> object_;
    ComPtr<ISusiePluginRemote> remote_;
    HRESULT loadFailure_ = E_FAIL;
};

// The remote plug-ins of a new manager of the 64-bit server; null in the 32-bit server,
// which binds every plug-in itself.
std::unique_ptr<SPI::RemotePlugins> NewRemotePlugins();

}  // namespace Tamrix
