#pragma once
// A decorator over any files port that makes the Nth read, write or close fail,
// once or from then on, with a chosen error: the copy's failure paths run through
// a real adapter without a full disk or a failing drive. Portable, without the test
// framework, so that the Windows test programs can put it over their adapter too.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Files.h"

namespace Velmora::Testing {

enum class TFileCall { Read, Write, Close };

enum class TFaultMode {
    Once,        // the Nth call fails, later ones go through
    FromThenOn,  // the Nth call and every later one fail
};

class TFaultyFileSystem : public IFileSystem {
public:
    explicit TFaultyFileSystem(IFileSystem& inner) : FInner(inner) {}

    // Calls are counted from 1 over every file opened through this object. A failing
    // read or write raises EInOutError(message) and hands nothing to the file below;
    // a failing close still closes the file below, as close(2) does, then raises.
    void FailNth(TFileCall call, int nth, TFaultMode mode, std::string message);
    int Calls(TFileCall call) const { return FCalls[Index(call)]; }
    int Faults() const { return FFaults; }

    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override { return FInner.DeleteFile(path); }
    std::string PathSeparator() const override { return FInner.PathSeparator(); }
    bool IsLinkOrSpecial(const std::string& path) override { return FInner.IsLinkOrSpecial(path); }

    // Counts a call of the decorated files and answers whether it is to fail.
    bool NextFails(TFileCall call);
    const std::string& Message() const { return FMessage; }

private:
    static int Index(TFileCall call) { return static_cast<int>(call); }

    IFileSystem& FInner;
    int FCalls[3] = {0, 0, 0};
    bool FArmed = false;
    TFileCall FCall = TFileCall::Read;
    int FNth = 0;
    TFaultMode FMode = TFaultMode::Once;
    std::string FMessage;
    int FFaults = 0;
};

}  // namespace Velmora::Testing
