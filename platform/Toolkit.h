#pragma once
// The windowing port: everything the run needs from a GUI toolkit.
// Text is UTF-8 throughout; adapters convert at their edge (wide APIs on Windows).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Velmora {

// An opaque window handle, wide enough for a Win32 HWND.
using TWindowHandle = std::uintptr_t;

// Modal results as the forms report them.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

// Message-box flags and answers, numbered as the Win32 API numbers them so that
// every adapter and every test speaks the same values.
namespace MsgBox {
constexpr unsigned Ok = 0x00;
constexpr unsigned IconError = 0x10;
constexpr unsigned IconWarning = 0x30;
constexpr int IdOk = 1;
}  // namespace MsgBox

// A form tells its view that something visible changed; the view repaints at once.
class IFormView {
public:
    virtual ~IFormView() = default;
    virtual void Changed() = 0;
};

// The progress dialog as a toolkit sees it.
class IProgressDialog {
public:
    virtual ~IProgressDialog() = default;
    virtual std::string Caption() const = 0;
    virtual std::string StatusText() const = 0;
    virtual int Percent() const = 0;
    virtual int ModalResult() const = 0;
    virtual void FormShow() = 0;
    virtual void AttachView(IFormView* view) = 0;
};

// The backup-set chooser as a toolkit sees it: rows with a check box each, and an OK button.
class IChooserDialog {
public:
    virtual ~IChooserDialog() = default;
    virtual std::string Caption() const = 0;
    virtual std::string ColumnTitle(std::size_t column) const = 0;
    virtual std::string OkCaption() const = 0;
    virtual std::size_t RowCount() const = 0;
    virtual std::string RowCaption(std::size_t row) const = 0;
    virtual std::string RowSubItem(std::size_t row) const = 0;
    virtual bool RowChecked(std::size_t row) const = 0;
    // The user changed the check box of a row (the toolkit has flipped it already).
    virtual void UserSetChecked(std::size_t row, bool checked) = 0;
    // The user pressed OK (click or Enter).
    virtual void UserPressedOk() = 0;
    virtual int ModalResult() const = 0;
    virtual void AttachView(IFormView* view) = 0;
};

// A timer that starts running when it is created. Enabling a running timer does
// not restart its interval; a disabled timer never fires.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
};

class IToolkit {
public:
    virtual ~IToolkit() = default;

    // The application window: owner of every dialog and message box of the call.
    virtual TWindowHandle ApplicationHandle() const = 0;
    virtual void SetApplicationHandle(TWindowHandle handle) = 0;

    // Runs the dialog modally: calls FormShow once it is on screen, delivers timer
    // ticks, and returns once the dialog's modal result is non-zero after a handler returns.
    virtual int ShowProgressDialog(IProgressDialog& dialog) = 0;
    // Raises EVelmoraError when the application is told to quit while the chooser is
    // open: closed that way it has no answer, and no answer must not pass for a choice.
    virtual int ShowChooser(IChooserDialog& dialog) = 0;

    virtual std::unique_ptr<ITimer> CreateTimer(unsigned intervalMs, std::function<void()> onTick) = 0;

    // Modal box owned by the application window; answers the pressed button (MsgBox::IdOk ...).
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;

    virtual void ProcessMessages() = 0;
    // Keeps the dialogs painting and the system answered while a long statement runs
    // on this thread. Lets no user input through and fires no timer, so the step that
    // waits is never re-entered.
    virtual void KeepAlive() = 0;
    virtual void Sleep(unsigned ms) = 0;
    // Milliseconds from an arbitrary origin; only differences mean something.
    virtual std::uint64_t TickCount() = 0;
};

}  // namespace Velmora
