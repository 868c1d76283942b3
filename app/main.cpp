// The desktop application's entry: picks the bundle, hands the rest of the command line to the
// GTK application (files to open) and to the kit ("--verbose"), and runs until the main window
// closes, the Quit item is chosen, SIGTERM or SIGINT arrives or the session ends.
//
//   kestrom [--bundle DIR] [--verbose] [FILE...]

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/kit/KestromKit.h"
#include "app/AppDelegate.h"
#include "platform/bundle/Bundle.h"
#include "platform/log/GuardedCallback.h"

namespace {

namespace fs = std::filesystem;
using kestrom::log::guardedCallback;

struct CommandLine {
  std::optional<fs::path> bundle;
  std::vector<std::string> kitArguments;   // every argument, as the kit reads them
  std::vector<std::string> applicationArgv;  // the program and the files, for GApplication
  bool help = false;
};

CommandLine parse(int argc, char** argv) {
  CommandLine line;
  line.applicationArgv.push_back(argv[0]);
  for (int i = 0; i < argc; ++i) line.kitArguments.push_back(argv[i]);
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--bundle" && i + 1 < argc) {
      line.bundle = argv[++i];
    } else if (argument.rfind("--bundle=", 0) == 0) {
      line.bundle = argument.substr(std::strlen("--bundle="));
    } else if (argument == "--help" || argument == "-h") {
      line.help = true;
    } else if (argument == "--verbose") {
      // read by the kit
    } else if (argument.rfind("--", 0) == 0) {
      std::fprintf(stderr, "Ignoring unknown option %s\n", argument.c_str());
    } else {
      line.applicationArgv.push_back(argument);
    }
  }
  return line;
}

// The source tree's bundle for a program run from its build tree, else the installed one.
fs::path defaultBundle() {
  if (const char* fromEnvironment = std::getenv("KESTROM_BUNDLE_DIR"); fromEnvironment && *fromEnvironment) {
    return fromEnvironment;
  }
  std::error_code ec;
  auto program = fs::read_symlink("/proc/self/exe", ec);
#ifdef KESTROM_BUILD_DIR
  auto build = fs::weakly_canonical(KESTROM_BUILD_DIR, ec);
  auto relative = program.lexically_relative(build);
  if (!ec && !relative.empty() && relative.begin()->string() != "..") return KESTROM_SOURCE_BUNDLE_DIR;
#endif
  return kestrom::bundle::installedBundleLocation(program);
}

struct Launch {
  std::vector<std::string> kitArguments;
  std::shared_ptr<kestrom::app::AppDelegate> delegate;
  GtkApplication* application = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  // A reader of stdout, a socket or a pipe that went away is an error to handle, never a reason
  // to die: sendfile and plain writes have no MSG_NOSIGNAL.
  std::signal(SIGPIPE, SIG_IGN);
  CommandLine line = parse(argc, argv);
  if (line.help) {
    std::printf("Usage: %s [--bundle DIR] [--verbose] [FILE...]\n", argv[0]);
    return 0;
  }
  fs::path bundleDir = line.bundle ? fs::absolute(*line.bundle) : defaultBundle();
  kestrom::bundle::Bundle::setMain(bundleDir);
  auto identifier = kestrom::bundle::Bundle::main().infoString("CFBundleIdentifier").value_or("org.kestrom.Kestrom");
  if (!g_application_id_is_valid(identifier.c_str())) identifier = "org.kestrom.Kestrom";

  Launch launch{line.kitArguments, nullptr, nullptr};
  GtkApplication* application = gtk_application_new(identifier.c_str(), G_APPLICATION_HANDLES_OPEN);
  g_signal_connect(application, "startup", G_CALLBACK(+[](GApplication* app, gpointer data) {
                     guardedCallback("application startup", [&] {
                       auto* launch = static_cast<Launch*>(data);
                       launch->delegate =
                           kestrom::app::AppDelegate::create(GTK_APPLICATION(app), launch->kitArguments);
                     });
                   }),
                   &launch);
  g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication*, gpointer data) {
                     auto& delegate = static_cast<Launch*>(data)->delegate;
                     if (delegate)
                       guardedCallback("application activate", [&] { delegate->applicationDidFinishLaunching(); });
                   }),
                   &launch);
  g_signal_connect(application, "open",
                   G_CALLBACK(+[](GApplication*, GFile** files, gint count, gchar*, gpointer data) {
                     guardedCallback("application open", [&] {
                       auto& delegate = static_cast<Launch*>(data)->delegate;
                       if (!delegate) return;
                       std::vector<fs::path> urls;
                       for (gint i = 0; i < count; ++i) {
                         if (gchar* path = g_file_get_path(files[i])) {
                           urls.emplace_back(path);
                           g_free(path);
                         }
                       }
                       delegate->openURLs(std::move(urls));
                       delegate->applicationDidFinishLaunching();
                     });
                   }),
                   &launch);
  g_signal_connect(application, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                     auto& delegate = static_cast<Launch*>(data)->delegate;
                     if (delegate)
                       guardedCallback("application shutdown", [&] { delegate->applicationWillTerminate(); });
                     delegate.reset();
                   }),
                   &launch);
  // The session is about to end (the user logs out): the frame is kept now, since the session
  // manager may end the process before it quits. Only reported to a registered application.
  g_object_set(application, "register-session", TRUE, nullptr);
  g_signal_connect(application, "query-end", G_CALLBACK(+[](GtkApplication*, gpointer data) {
                     guardedCallback("session end", [&] {
                       if (auto& delegate = static_cast<Launch*>(data)->delegate) delegate->saveWindowFrame();
                     });
                   }),
                   &launch);
  // A logout, `kill` or Ctrl+C in the terminal quits as the Quit item does.
  launch.application = application;
  for (int signal : {SIGTERM, SIGINT}) {
    g_unix_signal_add(signal, +[](gpointer data) -> gboolean {
      auto* launch = static_cast<Launch*>(data);
      if (launch->delegate) {
        guardedCallback("quit signal", [&] { launch->delegate->quit(); });
      } else {
        g_application_quit(G_APPLICATION(launch->application));
      }
      return G_SOURCE_CONTINUE;
    }, &launch);
  }

  std::vector<char*> applicationArgv;
  for (auto& argument : line.applicationArgv) applicationArgv.push_back(argument.data());
  applicationArgv.push_back(nullptr);
  int status = g_application_run(G_APPLICATION(application), static_cast<int>(applicationArgv.size()) - 1,
                                 applicationArgv.data());
  g_object_unref(application);
  // A server thread may still hold the kit for one last event; its teardown must end before
  // the process's static objects go.
  kestrom::KestromKit::waitForTeardown(std::chrono::seconds(5));
  return status;
}
