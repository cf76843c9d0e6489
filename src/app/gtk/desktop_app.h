// The Linux desktop program: one process per session (a second start hands
// its files to the first), the format window, the settings dialog, and the
// batches with their progress window and closing notification.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/messages.h"
#include "app/settings.h"
#include "convert/batch.h"

namespace vrelk::desktop {

using platform::Path;

inline constexpr const char* kApplicationId = "org.example.tessaly.Vrelk";
inline constexpr const char* kWindowTitle = "Tessaly";

// Files waiting for a batch of their own, converted after those before them.
struct QueuedBatch {
    std::vector<Path> files;
    std::int32_t outputType = 0;
};

// One batch on its worker thread; the window thread reads the counters.
struct BatchRun {
    std::vector<Path> inputs;
    Settings settings;
    std::atomic<std::size_t> done{0};
    std::atomic<bool> finished{false};
    BatchReport report;
    std::optional<ErrorCode> message;
    std::unique_ptr<platform::BackgroundWork> work;
};

// What the notice at the end of a run says.
struct RunTotals {
    std::size_t converted = 0;
    std::vector<std::pair<std::string, std::string>> skipped;  // name, reason
    std::optional<ErrorCode> message;
    bool cancelled = false;
    Path outputFolder;  // of the first file written
};

// The batches from the first file to the notice, one after another.
struct Conversion {
    std::deque<QueuedBatch> queue;
    std::unique_ptr<BatchRun> current;
    StopFlag stop{false};
    RunTotals totals;
    std::size_t files = 0;       // in every batch of the run so far
    std::size_t doneBefore = 0;  // in the batches finished
    GtkWidget* window = nullptr;
    GtkWidget* title = nullptr;
    GtkWidget* count = nullptr;
    GtkWidget* name = nullptr;
    GtkWidget* bar = nullptr;
    GtkWidget* cancel = nullptr;
    guint pollTimer = 0;
    guint showTimer = 0;
};

struct DesktopApp {
    GtkApplication* application = nullptr;
    Settings settings;
    Path settingsFile;  // empty: the defaults, kept nowhere
    bool settingsChanged = false;
    bool filesArrived = false;
    std::vector<Path> pending;  // waiting for a format button
    GtkWidget* formatWindow = nullptr;
    GtkWidget* fileCount = nullptr;
    GtkWidget* reduceCheck = nullptr;
    GtkWidget* recodeButton = nullptr;
    std::unique_ptr<Conversion> conversion;
};

// format_window.cpp
void ShowFormatWindow(DesktopApp& app);
// After the settings changed under it.
void RefreshFormatWindow(DesktopApp& app);
// settings_dialog.cpp: `parent` null when the dialog is the program's window.
void ShowSettingsDialog(DesktopApp& app, GtkWindow* parent);
// conversion.cpp: converts after whatever runs now.
void QueueBatch(DesktopApp& app, std::vector<Path> files, std::int32_t outputType);
// notice.cpp
void SendNotice(DesktopApp& app, const RunTotals& totals);
void AddNoticeActions(DesktopApp& app);

}  // namespace vrelk::desktop
