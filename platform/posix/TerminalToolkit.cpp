#include "platform/posix/TerminalToolkit.h"

#include <iconv.h>
#include <pthread.h>
#include <signal.h>
#include <langinfo.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/posix/Banner.h"
#include "platform/posix/TerminalText.h"

namespace Velmora {

using TerminalText::DisplayWidth;
using TerminalText::PadToWidth;
using TerminalText::Sanitize;
using TerminalText::TruncateToWidth;

namespace {

const char* const CaptionError = "错误";

std::uint64_t MonotonicMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMs(std::uint64_t ms)
{
    timespec request {};
    request.tv_sec = static_cast<time_t>(ms / 1000u);
    request.tv_nsec = static_cast<long>((ms % 1000u) * 1000000u);
    while (::nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

bool Contains(const char* text, const char* part) { return text && std::strstr(text, part) != nullptr; }

int TerminalColumns(int fd)
{
    winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

std::string Digits(std::size_t value, std::size_t width)
{
    std::string text = std::to_string(value);
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

// ---------------------------------------------------------------- settings

TTerminalSettings TTerminalSettings::Detect(int inputFd, int outputFd)
{
    TTerminalSettings settings;
    settings.InputFd = inputFd;
    settings.OutputFd = outputFd;
    settings.InputIsTerminal = ::isatty(inputFd) == 1;
    const bool outputIsTerminal = ::isatty(outputFd) == 1;
    const char* term = std::getenv("TERM");
    settings.Live = outputIsTerminal && term && *term && std::strcmp(term, "dumb") != 0;
    const char* colourTerm = std::getenv("COLORTERM");
    const bool trueColour = (colourTerm && (::strcasecmp(colourTerm, "truecolor") == 0 ||
                                            ::strcasecmp(colourTerm, "24bit") == 0)) ||
                            Contains(term, "truecolor") || Contains(term, "24bit") || Contains(term, "direct") ||
                            Contains(term, "256color");
    const char* noColour = std::getenv("NO_COLOR");
    const char* codeset = ::nl_langinfo(CODESET);
    const std::string name = codeset ? codeset : "";
    if (!name.empty() && ::strcasecmp(name.c_str(), "UTF-8") != 0 && name != "ANSI_X3.4-1968" && name != "ASCII") {
        settings.OutputCodeset = name;
    }
    // The banner's half blocks exist in Unicode only.
    settings.Colour = settings.Live && trueColour && !(noColour && *noColour) && settings.OutputCodeset.empty();
    int columns = outputIsTerminal ? TerminalColumns(outputFd) : 0;
    if (columns <= 0) {
        const char* fromEnvironment = std::getenv("COLUMNS");
        columns = fromEnvironment ? std::atoi(fromEnvironment) : 0;
    }
    settings.Columns = columns > 0 ? columns : 80;
    return settings;
}

// ---------------------------------------------------------------- output codeset

// UTF-8 to the terminal's codeset; what the codeset lacks becomes '?'. Output must
// never fail for want of a character.
class TTerminalToolkit::TOutputEncoder {
public:
    explicit TOutputEncoder(const std::string& codeset)
        : FDescriptor(::iconv_open((codeset + "//TRANSLIT").c_str(), "UTF-8"))
    {
    }
    ~TOutputEncoder()
    {
        if (Usable()) ::iconv_close(FDescriptor);
    }
    TOutputEncoder(const TOutputEncoder&) = delete;
    TOutputEncoder& operator=(const TOutputEncoder&) = delete;

    bool Usable() const { return FDescriptor != reinterpret_cast<iconv_t>(-1); }

    std::string Convert(const std::string& utf8)
    {
        ::iconv(FDescriptor, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        std::vector<char> chunk(utf8.size() * 2 + 16);
        char* in = const_cast<char*>(utf8.data());
        std::size_t inLeft = utf8.size();
        while (inLeft > 0) {
            char* outPtr = chunk.data();
            std::size_t outLeft = chunk.size();
            const std::size_t result = ::iconv(FDescriptor, &in, &inLeft, &outPtr, &outLeft);
            out.append(chunk.data(), static_cast<std::size_t>(outPtr - chunk.data()));
            if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
            // A character that cannot be converted: one '?' for all of its bytes.
            out += '?';
            do {
                ++in;
                --inLeft;
            } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
        }
        return out;
    }

private:
    iconv_t FDescriptor;
};

// ---------------------------------------------------------------- timers

struct TTerminalToolkit::TTimerState {
    unsigned Interval = 0;
    std::function<void()> OnTick;
    bool Enabled = true;
    bool Alive = true;
    bool Firing = false;
    std::uint64_t Due = 0;
};

class TTerminalToolkit::TTimer : public ITimer {
public:
    explicit TTimer(std::shared_ptr<TTimerState> state) : FState(std::move(state)) {}
    ~TTimer() override
    {
        FState->Alive = false;
        FState->Enabled = false;
    }
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    void SetEnabled(bool enabled) override
    {
        // Enabling a running timer keeps its interval going; a stopped one starts afresh.
        if (enabled && !FState->Enabled) FState->Due = MonotonicMs() + FState->Interval;
        FState->Enabled = enabled;
    }
    bool Enabled() const override { return FState->Enabled; }

private:
    std::shared_ptr<TTimerState> FState;
};

// ---------------------------------------------------------------- progress view

class TTerminalToolkit::TProgressView : public IFormView {
public:
    TProgressView(TTerminalToolkit& toolkit, IProgressDialog& dialog) : FToolkit(toolkit), FDialog(dialog) {}

    void Changed() override
    {
        // A new status is news worth showing at once: a long step without any
        // message processing may follow. Percentages may wait for the next redraw.
        if (!FHasDrawn || FDialog.StatusText() != FDrawnStatus) {
            Draw();
            return;
        }
        if (FDialog.Percent() == FDrawnPercent) return;
        if (MonotonicMs() - FLastDraw >= FToolkit.FSettings.RedrawIntervalMs) {
            Draw();
        } else {
            FPending = true;
        }
    }

    void Open()
    {
        FColumns = FToolkit.Columns();
        const TTerminalSettings& settings = FToolkit.FSettings;
        const std::string caption = Sanitize(FDialog.Caption());
        std::string out = settings.Colour ? "\033[1m" + caption + "\033[0m\n" : caption + "\n";
        if (settings.Colour) out += RenderBanner(FColumns);
        FToolkit.Write(out);
        Draw();
    }

    bool Pending() const { return FPending; }

    void Poll()
    {
        if (FPending && MonotonicMs() - FLastDraw >= FToolkit.FSettings.RedrawIntervalMs) Draw();
    }

    void FlushPending()
    {
        if (FPending) Draw();
    }

    // While a statement runs nothing else moves: a turning mark in the status line's
    // last column, which the status never reaches, shows that the program still works.
    // Any redraw clears it with the line.
    void Spin()
    {
        if (!FToolkit.FSettings.Live || !FLiveShown) return;
        const std::uint64_t now = MonotonicMs();
        if (FSpun != 0 && now - FSpun < SpinIntervalMs) return;
        FSpun = now;
        static const char Frames[] = {'|', '/', '-', '\\'};
        const char frame = Frames[FSpinFrame++ % sizeof Frames];
        FToolkit.Write("\0337\033[1A\033[" + std::to_string(std::max(FColumns, 1)) + "G" + frame + "\0338");
    }

    void Break()
    {
        if (!FLiveShown) return;
        FToolkit.Write("\n");
        FLiveShown = false;
    }

    // After other output: the live display comes back below it.
    void Restore() { Draw(); }

    void Close()
    {
        FlushPending();
        if (FSpun != 0 && FLiveShown) {
            FToolkit.Write("\0337\033[1A\033[" + std::to_string(std::max(FColumns, 1)) + "G \0338");
        }
        Break();
    }

private:
    void Draw()
    {
        FPending = false;
        FLastDraw = MonotonicMs();
        const std::string status = FDialog.StatusText();
        const int percent = std::clamp(FDialog.Percent(), 0, 100);
        const bool live = FToolkit.FSettings.Live;
        if (FHasDrawn && status == FDrawnStatus && percent == FDrawnPercent && (!live || FLiveShown)) return;
        if (live) {
            // The status must not wrap: moving up one line would then land in the wrong place.
            const std::string shown =
                TruncateToWidth(Sanitize(status), static_cast<std::size_t>(std::max(FColumns - 1, 1)));
            std::string out = FLiveShown ? "\r\033[1A\033[2K" : "";
            out += shown + "\n\r\033[2K" + Bar(percent);
            FToolkit.Write(out);
            FLiveShown = true;
        } else {
            FToolkit.Write(Sanitize(status) + "  " + Bar(percent) + "\n");
        }
        FDrawnStatus = status;
        FDrawnPercent = percent;
        FHasDrawn = true;
    }

    std::string Bar(int percent) const
    {
        const TTerminalSettings& settings = FToolkit.FSettings;
        const std::string number = std::to_string(percent) + "%";
        if (settings.Colour) {
            // A filled bar with the percentage written in its middle.
            const int width = std::clamp(FColumns - 1, 10, 60);
            const int filled = (width * percent + 50) / 100;
            const std::string label = " " + number + " ";
            const int start = (width - static_cast<int>(label.size())) / 2;
            std::string out;
            int state = -1;
            for (int i = 0; i < width; ++i) {
                const int inFilled = i < filled ? 1 : 0;
                if (inFilled != state) {
                    out += inFilled ? "\033[38;2;255;255;255;48;2;31;95;168m" : "\033[38;2;43;43;43;48;2;224;224;224m";
                    state = inFilled;
                }
                const int k = i - start;
                out += (k >= 0 && k < static_cast<int>(label.size())) ? label[static_cast<std::size_t>(k)] : ' ';
            }
            return out + "\033[0m";
        }
        const int width = settings.Live ? std::clamp(FColumns - 8, 10, 50) : 20;
        const int filled = (width * percent + 50) / 100;
        return "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(width - filled), '-') + "] " +
               std::string(4 - number.size(), ' ') + number;
    }

    TTerminalToolkit& FToolkit;
    IProgressDialog& FDialog;
    int FColumns = 80;
    std::string FDrawnStatus;
    int FDrawnPercent = -1;
    bool FHasDrawn = false;
    bool FLiveShown = false;
    bool FPending = false;
    std::uint64_t FLastDraw = 0;
    static constexpr std::uint64_t SpinIntervalMs = 250;
    std::uint64_t FSpun = 0;
    unsigned FSpinFrame = 0;
};

class TTerminalToolkit::TChooserView : public IFormView {
public:
    void Changed() override { FChanged = true; }
    bool TakeChanged()
    {
        const bool changed = FChanged;
        FChanged = false;
        return changed;
    }

private:
    bool FChanged = false;
};

// ---------------------------------------------------------------- toolkit

TTerminalToolkit::TTerminalToolkit() : TTerminalToolkit(TTerminalSettings::Detect()) {}

TTerminalToolkit::TTerminalToolkit(const TTerminalSettings& settings) : FSettings(settings)
{
    if (!FSettings.OutputCodeset.empty()) {
        FEncoder = std::make_unique<TOutputEncoder>(FSettings.OutputCodeset);
        // A codeset iconv does not know: UTF-8 is the best guess left.
        if (!FEncoder->Usable()) FEncoder.reset();
    }
}

TTerminalToolkit::~TTerminalToolkit() = default;

namespace {

// A closed pipe must not end the host's process: SIGPIPE is held back on this
// thread while writing, and one the write raised is taken away again.
class TPipeSignalHold {
public:
    TPipeSignalHold()
    {
        sigemptyset(&FPipe);
        sigaddset(&FPipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        FWasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        FHeld = pthread_sigmask(SIG_BLOCK, &FPipe, &FPrevious) == 0;
    }
    ~TPipeSignalHold()
    {
        if (!FHeld) return;
        if (FBrokenPipe && !FWasPending) {
            const timespec now{0, 0};
            while (sigtimedwait(&FPipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr);
    }
    TPipeSignalHold(const TPipeSignalHold&) = delete;
    TPipeSignalHold& operator=(const TPipeSignalHold&) = delete;
    void BrokenPipe() { FBrokenPipe = true; }

private:
    sigset_t FPipe;
    sigset_t FPrevious;
    bool FWasPending = false;
    bool FHeld = false;
    bool FBrokenPipe = false;
};

}  // namespace

void TTerminalToolkit::Write(const std::string& utf8)
{
    const std::string text = FEncoder ? FEncoder->Convert(utf8) : utf8;
    const char* data = text.data();
    std::size_t left = text.size();
    const int savedErrno = errno;
    TPipeSignalHold hold;
    while (left > 0) {
        const ssize_t written = ::write(FSettings.OutputFd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EPIPE) hold.BrokenPipe();
        // Nowhere to show it (a closed stderr): the run goes on without a display.
        if (written <= 0) break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    errno = savedErrno;
}

int TTerminalToolkit::Columns() const
{
    if (FSettings.Live) {
        const int columns = TerminalColumns(FSettings.OutputFd);
        if (columns > 0) return columns;
    }
    return FSettings.Columns > 0 ? FSettings.Columns : 80;
}

void TTerminalToolkit::BreakLiveArea()
{
    if (!FProgress) return;
    FProgress->FlushPending();
    FProgress->Break();
}

bool TTerminalToolkit::ReadLine(std::string& line)
{
    for (;;) {
        const std::size_t end = FInput.find('\n');
        if (end != std::string::npos) {
            line = FInput.substr(0, end);
            FInput.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (FInputEnded) {
            if (FInput.empty()) return false;
            line.swap(FInput);
            FInput.clear();
            return true;
        }
        // A byte at a time: what follows the line stays in the descriptor for the host.
        char byte;
        const ssize_t got = ::read(FSettings.InputFd, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            FInputEnded = true;
            continue;
        }
        FInput += byte;
    }
}

int TTerminalToolkit::ShowProgressDialog(IProgressDialog& dialog)
{
    TProgressView view(*this, dialog);
    // Puts the toolkit back however the dialog ends, also when a handler raises.
    class TShownDialog {
    public:
        TShownDialog(TTerminalToolkit& toolkit, IProgressDialog& shown, TProgressView& shownView)
            : FToolkit(toolkit), FDialog(shown), FView(shownView), FPrevious(toolkit.FProgress)
        {
            FToolkit.FProgress = &FView;
        }
        ~TShownDialog()
        {
            FDialog.AttachView(nullptr);
            FToolkit.FProgress = FPrevious;
            try {
                FView.Close();
            } catch (...) {
                // Only the last line of the display is lost.
            }
        }
        TShownDialog(const TShownDialog&) = delete;
        TShownDialog& operator=(const TShownDialog&) = delete;

    private:
        TTerminalToolkit& FToolkit;
        IProgressDialog& FDialog;
        TProgressView& FView;
        TProgressView* FPrevious;
    } shown(*this, dialog, view);

    view.Open();
    dialog.AttachView(&view);
    dialog.FormShow();

    int result = mrNone;
    while ((result = dialog.ModalResult()) == mrNone) {
        std::shared_ptr<TTimerState> next;
        for (const auto& timer : FTimers) {
            if (timer->Alive && timer->Enabled && !timer->Firing && (!next || timer->Due < next->Due)) next = timer;
        }
        // Nothing will ever set the outcome: waiting would hang the host.
        if (!next) {
            result = mrCancel;
            break;
        }
        const std::uint64_t now = MonotonicMs();
        if (next->Due > now) {
            view.FlushPending();
            SleepMs(next->Due - now);
            continue;
        }
        FireTimer(next);
    }
    return result;
}

int TTerminalToolkit::ShowChooser(IChooserDialog& dialog)
{
    BreakLiveArea();
    TChooserView view;
    dialog.AttachView(&view);
    PrintChooser(dialog);
    const std::size_t rows = dialog.RowCount();
    int result = mrNone;
    try {
        while ((result = dialog.ModalResult()) == mrNone) {
            if (FSettings.InputIsTerminal) {
                Write("输入行号勾选该行，直接回车即按“" + Sanitize(dialog.OkCaption()) + "”：");
            }
            std::string line;
            const bool got = ReadLine(line);
            const std::size_t first = line.find_first_not_of(" \t");
            line = first == std::string::npos ? std::string() : line.substr(first, line.find_last_not_of(" \t") - first + 1);
            if (!got || line.empty()) {
                dialog.UserPressedOk();
                result = dialog.ModalResult();
                // An OK that does not close the dialog would leave nothing more to read.
                if (result == mrNone) result = mrCancel;
                break;
            }
            const bool digits = line.size() <= 9 && std::all_of(line.begin(), line.end(), [](char c) {
                                    return c >= '0' && c <= '9';
                                });
            const std::size_t row = digits ? static_cast<std::size_t>(std::stoul(line)) : 0;
            if (row < 1 || row > rows) {
                Write("无效的输入：请输入 1 到 " + std::to_string(rows) + " 之间的行号，或直接回车\n");
                continue;
            }
            // The user clicks the box: the toolkit flips it, the dialog answers.
            dialog.UserSetChecked(row - 1, !dialog.RowChecked(row - 1));
            if (view.TakeChanged()) PrintChooser(dialog);
        }
    } catch (...) {
        dialog.AttachView(nullptr);
        throw;
    }
    dialog.AttachView(nullptr);
    if (FProgress) FProgress->Restore();
    return result;
}

void TTerminalToolkit::PrintChooser(IChooserDialog& dialog)
{
    const std::size_t rows = dialog.RowCount();
    const std::size_t numberWidth = std::to_string(std::max<std::size_t>(rows, 1)).size();
    const std::string firstTitle = Sanitize(dialog.ColumnTitle(0));
    std::size_t captionWidth = DisplayWidth(firstTitle);
    for (std::size_t row = 0; row < rows; ++row) {
        captionWidth = std::max(captionWidth, DisplayWidth(Sanitize(dialog.RowCaption(row))));
    }
    std::string out = Sanitize(dialog.Caption()) + "\n";
    out += std::string(numberWidth + 2 + 4, ' ') + PadToWidth(firstTitle, captionWidth) + "  " +
           Sanitize(dialog.ColumnTitle(1)) + "\n";
    for (std::size_t row = 0; row < rows; ++row) {
        out += Digits(row + 1, numberWidth) + "  " + (dialog.RowChecked(row) ? "[x] " : "[ ] ") +
               PadToWidth(Sanitize(dialog.RowCaption(row)), captionWidth) + "  " + Sanitize(dialog.RowSubItem(row)) +
               "\n";
    }
    Write(out);
}

std::unique_ptr<ITimer> TTerminalToolkit::CreateTimer(unsigned intervalMs, std::function<void()> onTick)
{
    FTimers.erase(std::remove_if(FTimers.begin(), FTimers.end(),
                                 [](const std::shared_ptr<TTimerState>& timer) { return !timer->Alive; }),
                  FTimers.end());
    auto state = std::make_shared<TTimerState>();
    state->Interval = intervalMs;
    state->OnTick = std::move(onTick);
    state->Due = MonotonicMs() + intervalMs;
    FTimers.push_back(state);
    return std::make_unique<TTimer>(state);
}

void TTerminalToolkit::FireTimer(const std::shared_ptr<TTimerState>& timer)
{
    // Held here: the handler may free the timer that is firing.
    const std::shared_ptr<TTimerState> keep = timer;
    const std::function<void()> onTick = keep->OnTick;
    keep->Firing = true;
    keep->Due = MonotonicMs() + keep->Interval;
    std::string failure;
    try {
        onTick();
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "未知错误";
    }
    keep->Firing = false;
    // As a window system's timer dispatch does: an escaped error is shown, the loop goes on.
    if (!failure.empty()) MessageBox(failure, CaptionError, MsgBox::IconError);
}

void TTerminalToolkit::FireDueTimers()
{
    bool armed = false;
    for (const auto& timer : FTimers) {
        if (timer->Enabled && !timer->Firing) {
            armed = true;
            break;
        }
    }
    if (!armed) return;
    const std::uint64_t now = MonotonicMs();
    for (std::size_t i = 0; i < FTimers.size(); ++i) {
        const std::shared_ptr<TTimerState> timer = FTimers[i];
        if (timer->Alive && timer->Enabled && !timer->Firing && timer->Due <= now) FireTimer(timer);
    }
}

int TTerminalToolkit::MessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    BreakLiveArea();
    std::string head = "[" + Sanitize(caption) + "]";
    if (FSettings.Colour) {
        const unsigned icon = flags & 0xF0u;
        if (icon == MsgBox::IconError) head = "\033[1;31m" + head + "\033[0m";
        if (icon == MsgBox::IconWarning) head = "\033[1;33m" + head + "\033[0m";
    }
    Write(head + " " + Sanitize(text) + "\n");
    if (FSettings.InputIsTerminal) {
        Write("按回车键继续...");
        std::string ignored;
        if (!ReadLine(ignored)) Write("\n");
    }
    if (FProgress) FProgress->Restore();
    return MsgBox::IdOk;
}

void TTerminalToolkit::ProcessMessages()
{
    // Called after every piece of a multi-gigabyte copy: do nothing unless there is something to do.
    if (FProgress && FProgress->Pending()) FProgress->Poll();
    if (!FTimers.empty()) FireDueTimers();
}

void TTerminalToolkit::KeepAlive()
{
    // The bar keeps moving, but no timer fires: the waiting step must not be re-entered.
    if (!FProgress) return;
    if (FProgress->Pending()) FProgress->Poll();
    FProgress->Spin();
}

void TTerminalToolkit::Sleep(unsigned ms)
{
    if (FProgress) FProgress->FlushPending();
    SleepMs(ms);
}

std::uint64_t TTerminalToolkit::TickCount() { return MonotonicMs(); }

}  // namespace Velmora
