#pragma once
// The toolkit of a terminal: the progress dialog is a caption, a banner (in a
// colour terminal), a status line and a progress bar on stderr; message boxes are
// lines on stderr; the chooser is a numbered list that reads row numbers from stdin.
// Timers fire from the dialog's modal loop, which sleeps until the next one is due.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Toolkit.h"

namespace Velmora {

struct TTerminalSettings {
    int InputFd = 0;
    int OutputFd = 2;
    // Message boxes wait for Enter only when someone can press it.
    bool InputIsTerminal = false;
    // Redraw the status line and the bar in place; otherwise one line per change.
    bool Live = false;
    // 24-bit colour: the banner and a coloured bar.
    bool Colour = false;
    // Used when the output is not a terminal that can be asked its width.
    int Columns = 80;
    // Progress changes closer together than this are drawn together.
    unsigned RedrawIntervalMs = 50;
    // The terminal's codeset when it is not UTF-8 (zh_CN.GBK, say); text is
    // converted to it on the way out. Empty: UTF-8 goes out as it is.
    std::string OutputCodeset;

    // Looks at the descriptors, the locale's codeset and at TERM, COLORTERM,
    // NO_COLOR and COLUMNS.
    static TTerminalSettings Detect(int inputFd = 0, int outputFd = 2);
};

class TTerminalToolkit : public IToolkit {
public:
    TTerminalToolkit();
    explicit TTerminalToolkit(const TTerminalSettings& settings);
    ~TTerminalToolkit() override;
    TTerminalToolkit(const TTerminalToolkit&) = delete;
    TTerminalToolkit& operator=(const TTerminalToolkit&) = delete;

    TWindowHandle ApplicationHandle() const override { return FApplicationHandle; }
    void SetApplicationHandle(TWindowHandle handle) override { FApplicationHandle = handle; }

    int ShowProgressDialog(IProgressDialog& dialog) override;
    int ShowChooser(IChooserDialog& dialog) override;
    std::unique_ptr<ITimer> CreateTimer(unsigned intervalMs, std::function<void()> onTick) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    void ProcessMessages() override;
    void KeepAlive() override;
    void Sleep(unsigned ms) override;
    std::uint64_t TickCount() override;

private:
    class TOutputEncoder;
    class TProgressView;
    class TChooserView;
    class TTimer;
    struct TTimerState;

    void Write(const std::string& text);
    // Ends an in-place display so that other output starts on a line of its own.
    void BreakLiveArea();
    bool ReadLine(std::string& line);
    int Columns() const;
    void FireDueTimers();
    void FireTimer(const std::shared_ptr<TTimerState>& timer);
    void PrintChooser(IChooserDialog& dialog);

    TTerminalSettings FSettings;
    std::unique_ptr<TOutputEncoder> FEncoder;
    TWindowHandle FApplicationHandle = 0;
    TProgressView* FProgress = nullptr;
    std::vector<std::shared_ptr<TTimerState>> FTimers;
    std::string FInput;
    bool FInputEnded = false;
};

}  // namespace Velmora
