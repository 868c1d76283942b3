#include "platform/shell/GtkDialogs.h"

#include <gtk/gtk.h>

#include <memory>
#include <system_error>

#include "platform/dispatch/QueueCheck.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom::shell {

namespace {

using FileCompletion = std::function<void(std::optional<std::filesystem::path>)>;

GtkFileChooserAction actionFor(FileDialogRequest::Kind kind) {
  switch (kind) {
    case FileDialogRequest::Kind::save:
      return GTK_FILE_CHOOSER_ACTION_SAVE;
    case FileDialogRequest::Kind::selectFolder:
    case FileDialogRequest::Kind::move:
      return GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
    case FileDialogRequest::Kind::open:
      break;
  }
  return GTK_FILE_CHOOSER_ACTION_OPEN;
}

}  // namespace

void GtkDialogs::runFileDialog(const FileDialogRequest& request, FileCompletion completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new(nullptr, parent_, actionFor(request.kind), nullptr, nullptr);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  GtkFileChooser* fileChooser = GTK_FILE_CHOOSER(chooser);
  gtk_file_chooser_set_select_multiple(fileChooser, FALSE);
  if (!request.allowedExtensions.empty() && actionFor(request.kind) != GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER) {
    GtkFileFilter* filter = gtk_file_filter_new();
    for (const auto& extension : request.allowedExtensions) gtk_file_filter_add_suffix(filter, extension.c_str());
    gtk_file_chooser_add_filter(fileChooser, filter);
    g_object_unref(filter);
  }
  if (request.suggestedName && request.kind == FileDialogRequest::Kind::save) {
    gtk_file_chooser_set_current_name(fileChooser, request.suggestedName->c_str());
  }
  if (request.initialFolder) {
    GFile* folder = g_file_new_for_path(request.initialFolder->c_str());
    gtk_file_chooser_set_current_folder(fileChooser, folder, nullptr);
    g_object_unref(folder);
  }
  auto* pending = new FileCompletion(std::move(completion));
  g_signal_connect_data(
      chooser, "response",
      G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        auto& done = *static_cast<FileCompletion*>(data);
        std::optional<std::filesystem::path> chosen;
        if (response == GTK_RESPONSE_ACCEPT) {
          if (GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))) {
            if (char* path = g_file_get_path(file)) {
              std::error_code error;
              chosen = std::filesystem::absolute(path, error);
              if (error) chosen.reset();
              g_free(path);
            }
            g_object_unref(file);
          }
        }
        FileCompletion run = std::move(done);
        done = nullptr;
        g_object_unref(dialog);  // the reference taken at creation
        log::guardedCallback("file dialog response", [&] {
          if (run) run(std::move(chosen));
        });
      }),
      pending, [](gpointer data, GClosure*) { delete static_cast<FileCompletion*>(data); }, GConnectFlags(0));
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

void GtkDialogs::showAlert(const AlertRequest& request, std::function<void()> completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  GtkWidget* dialog = gtk_message_dialog_new(parent_, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s",
                                             request.message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", request.informative.c_str());
  // The message titles the alert's window too, where window managers and window lists show it.
  gtk_window_set_title(GTK_WINDOW(dialog), request.message.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), request.button.c_str(), GTK_RESPONSE_OK);
  auto* pending = new std::function<void()>(std::move(completion));
  g_signal_connect_data(
      dialog, "response",
      G_CALLBACK(+[](GtkDialog* self, int, gpointer data) {
        auto& done = *static_cast<std::function<void()>*>(data);
        std::function<void()> run = std::move(done);
        done = nullptr;
        gtk_window_destroy(GTK_WINDOW(self));
        log::guardedCallback("alert response", [&] {
          if (run) run();
        });
      }),
      pending, [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); }, GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace kestrom::shell
