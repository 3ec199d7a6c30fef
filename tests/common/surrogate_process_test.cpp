// How the server tells that it runs in a DLL surrogate started for it: by the process's
// command line, in the forms Windows and Wine use.
#include <gtest/gtest.h>

#include "common/surrogate_process.h"

using Tamrix::IsSurrogateCommandLine;

TEST(SurrogateProcess, StartedForTheServersAppIdOrOneOfItsClasses) {
    // Windows starts one surrogate per AppID.
    EXPECT_TRUE(IsSurrogateCommandLine(
        L"C:\\WINDOWS\\SysWOW64\\DllHost.exe /Processid:{ECFF1D29-6CE3-483F-B423-45789DC49236}"));
    // Wine 8 starts one per class, naming the class, in capitals.
    EXPECT_TRUE(IsSurrogateCommandLine(
        L"C:\\windows\\syswow64\\dllhost.exe /PROCESSID:{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}"));
    EXPECT_TRUE(IsSurrogateCommandLine(L"dllhost.exe /processid:{caa01fe7-8699-457f-ab09-894187aa53c2}"));
}

TEST(SurrogateProcess, AnyOtherProcessIsNone) {
    // A surrogate of another server, which may load ours in process for itself.
    EXPECT_FALSE(IsSurrogateCommandLine(
        L"C:\\WINDOWS\\system32\\DllHost.exe /Processid:{3EB3C877-1F16-487C-9050-104DBCD66683}"));
    // A class of ours that clients cannot create, an identifier cut short, no switch at all.
    EXPECT_FALSE(IsSurrogateCommandLine(L"dllhost.exe /Processid:{60E73339-1611-46DB-A2D7-53C2F101D4D3}"));
    EXPECT_FALSE(IsSurrogateCommandLine(L"dllhost.exe /Processid:{ECFF1D29-6CE3-483F-B423"));
    EXPECT_FALSE(IsSurrogateCommandLine(L"cscript.exe //nologo test.js {ECFF1D29-6CE3-483F-B423-45789DC49236}"));
    EXPECT_FALSE(IsSurrogateCommandLine(L""));
    EXPECT_FALSE(IsSurrogateCommandLine(nullptr));
    // The test program itself.
    EXPECT_FALSE(Tamrix::InSurrogate());
}
