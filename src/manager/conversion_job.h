// A batch of conversions (TamrixHost::ConvertFiles), handed back at once and run in the
// background by worker processes: helpers like those of isolated plug-ins (helper_process.h),
// each holding a plug-in list made of the manager's plug-in files, keeping every one it has
// loaded for the job's life, and walking it per file as GetPicture does. Each worker is driven by a thread of
// the job's own, which starts its helper and calls it (a proxy belongs to the apartment that
// made it) and ends once no file is left; the client's apartment only reads, waits and
// cancels. Late-bound clients reach it through a name table. Each member is a Boundary.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <vector>

#include "Tamrix.h"
#include "../automation/name_table_dispatch.h"
#include "../common/helper_link.h"
#include "../common/object.h"

namespace Tamrix {

// What a job converts, and with what.
struct ConversionPlan {
    std::vector<std::wstring> sources;       // full paths
    std::vector<std::wstring> destinations;  // one for each source
    std::vector<std::wstring> plugins;       // the manager's plug-in files in list order, full paths
    LONG workers = 1;
    LONG callTimeout = DEFAULT_CALL_TIMEOUT;
    LONG codePage = 0;  // of narrow plug-in texts and names (0: the thread's ANSI code page)

    // The sources an array holds (a SAFEARRAY of strings, or of variants holding strings, by
    // value or by reference; a JScript array) as full paths, and each one's destination,
    // destFolder\<its file name>.<destType>; in source order, a source whose destination an
    // earlier one has (case ignored) takes the first free of "<stem> (2)<.ext>.<destType>",
    // " (3)" ... instead, so that no two share one. E_INVALIDARG for an empty array, anything
    // else than an array of names, or a type that is empty or holds a path;
    // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) when destFolder is no folder.
    HRESULT SetFiles(const VARIANT& sources, BSTR destFolder, BSTR destType);
};

class ConversionBatch;  // what the job shares with its threads

class ConversionJob : public NameTableDispatch<ConversionJob, IConversionJob>,
                      public SupportsErrorInfo<ConversionJob> {
public:
    using Interfaces = InterfaceList<IConversionJob, As<IDispatch, IConversionJob>, ISupportErrorInfo>;

    static constexpr DispName NAMES[] = {
        {L"Total", 1},       {L"get_Total", 1},  {L"Completed", 2},   {L"get_Completed", 2},
        {L"Failed", 3},      {L"get_Failed", 3}, {L"Done", 4},        {L"get_Done", 4},
        {L"Wait", 5},        {L"Result", 6},     {L"get_Result", 6},  {L"Destination", 7},
        {L"get_Destination", 7}, {L"Cancel", 8},       {L"Description", 9}, {L"get_Description", 9},
    };
    static constexpr UINT MAX_ARGS = 2;
    static constexpr bool CHECKS_NAMED_ARGS = true;
    HRESULT InvokeMember(DISPID id, DispatchCall& call);

    explicit ConversionJob(std::shared_ptr<ConversionBatch> batch) noexcept : batch_(std::move(batch)) {}
    // Releasing the job cancels it.
    virtual ~ConversionJob();

    // Starts converting `plan` with as many workers as it asks for (no more than there are
    // files) and hands the job out; the failure when no thread could be started.
    static HRESULT Start(ConversionPlan plan, IDispatch** out);

    // IConversionJob
    STDMETHODIMP get_Total(LONG* pVal) override;
    STDMETHODIMP get_Completed(LONG* pVal) override;
    STDMETHODIMP get_Failed(LONG* pVal) override;
    STDMETHODIMP get_Done(VARIANT_BOOL* pVal) override;
    STDMETHODIMP Wait(LONG milliseconds, VARIANT_BOOL* pDone) override;
    STDMETHODIMP get_Result(LONG Index, LONG* pVal) override;
    STDMETHODIMP get_Destination(LONG Index, BSTR* pVal) override;
    STDMETHODIMP Cancel() override;
    STDMETHODIMP get_Description(LONG Index, BSTR* pVal) override;

private:
    std::shared_ptr<ConversionBatch> batch_;
};

}  // namespace Tamrix
