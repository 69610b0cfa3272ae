// The application object: start-up, the message loop, and the message box
// that shows the error of a command that failed.
#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "core/commands.h"

class QWidget;

// The wait cursor for as long as the object lives: a command from its click
// to its end, on every path out of it.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// The plain arrow over a dialog or message box that a command opens while
// the wait cursor is up: the user is being asked, the program is not busy.
class ArrowCursor {
public:
    ArrowCursor();
    ~ArrowCursor();
    ArrowCursor(const ArrowCursor&) = delete;
    ArrowCursor& operator=(const ArrowCursor&) = delete;

private:
    bool pushed_;
};

// The file-type lists of the open and save dialogs: the formats of the table
// in codec/formats.cpp, then the stage files' format.
QString OpenFilter();
QString SaveFilter();

// Prompts as a person sees them: Qt's file dialogs and plain message boxes.
class DialogPrompts : public Prompts {
public:
    std::optional<FileName> ExecuteOpenPicture() override;
    std::optional<FileName> ExecuteSavePicture() override;
    void ShowMessage(const std::string& text) override;
};

class TApplication {
public:
    TApplication();
    ~TApplication();

    void Initialize();
    // Builds a window of the given class; the first one becomes the main window.
    template <class Form>
    void CreateForm(Form*& form) {
        auto made = std::make_unique<Form>();
        form = made.get();
        if (mainForm_ == nullptr) mainForm_ = form;
        forms_.push_back(std::move(made));
    }
    // Shows the main window and runs the message loop until it closes.
    void Run();

    // Shows an error's message in the application's error box.
    void ShowException(const Exception& error);
    // Runs one command handler to its end under the wait cursor; an error
    // that escapes it is shown, with the cursor already back, and the loop
    // goes on.
    template <class Handler>
    void Dispatch(Handler&& handler) noexcept {
        try {
            const BusyCursor busy;
            handler();
        } catch (const Exception& error) {
            ShowException(error);
        } catch (const std::exception& error) {
            ShowException(Exception(error.what()));
        } catch (...) {
            ShowException(Exception(std::string()));
        }
    }

    // The dialogs and message boxes the commands use (replaceable by tests).
    Prompts& prompts() { return *prompts_; }
    void SetPrompts(Prompts* prompts) { prompts_ = prompts ? prompts : &dialogPrompts_; }
    // Where the error box goes (replaceable by tests).
    void SetErrorBox(std::function<void(const QString&)> box) { errorBox_ = std::move(box); }

    QWidget* MainForm() const { return mainForm_; }

private:
    DialogPrompts dialogPrompts_;
    Prompts* prompts_ = &dialogPrompts_;
    std::function<void(const QString&)> errorBox_;
    QWidget* mainForm_ = nullptr;
    std::vector<std::unique_ptr<QWidget>> forms_;
};

// The one application object of the program.
extern TApplication* Application;
