#include "platform/webview/WebKitWebViewStack.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>

#include "platform/dispatch/QueueCheck.h"
#include "platform/jsontext/JsonText.h"
#include "platform/log/GuardedCallback.h"
#include "platform/log/Log.h"
#include "platform/shell/GtkFileDrop.h"
#include "platform/webview/WebKitLeftovers.h"

namespace kestrom::webview {

namespace {

constexpr gint64 kFadeMicroseconds = 300'000;

const log::Logger& webViewLog() {
  static const log::Logger logger("platform", "WebView");
  return logger;
}
constexpr guint kFadeStepMilliseconds = 16;

void drawBackground(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data) {
  const auto* color = static_cast<const Rgba*>(data);
  cairo_set_source_rgba(cr, color->red, color->green, color->blue, color->alpha);
  cairo_paint(cr);
}

// A web view with its own content manager; with `related`, it shares that view's web process and
// network session, else it uses `session` (WebKit's default one when null).
WebKitWebView* makeWebView(WebKitUserContentManager* manager, WebKitWebView* related = nullptr,
                           WebKitNetworkSession* session = nullptr) {
  auto* view = WEBKIT_WEB_VIEW(related   ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", manager,
                                                        "related-view", related, nullptr)
                               : session ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", manager,
                                                        "network-session", session, nullptr)
                                         : g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", manager, nullptr));
  WebKitSettings* settings = webkit_web_view_get_settings(view);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);
  return view;
}

void setUnpaintedColor(WebKitWebView* view, const Rgba& color) {
  GdkRGBA rgba{static_cast<float>(color.red), static_cast<float>(color.green), static_cast<float>(color.blue), 1.0f};
  webkit_web_view_set_background_color(view, &rgba);
}

std::string fileURI(const std::filesystem::path& directory) {
  gchar* uri = g_filename_to_uri(directory.c_str(), nullptr, nullptr);
  std::string text = uri ? uri : "file:///";
  g_free(uri);
  if (text.empty() || text.back() != '/') text += '/';  // a base URI names the folder itself
  return text;
}

}  // namespace

// The session cookie on its way into WebKit's store: a page load that comes first waits here,
// and leaves once the add completes (or failed: the page then loads and meets the servers' 403).
struct WebKitWebViewStack::CookieWait {
  WebKitWebViewStack* stack = nullptr;  // cleared when the stack goes first
  bool done = false;
  std::optional<std::string> pendingURL;

  static void added(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<CookieWait>> wait(static_cast<std::shared_ptr<CookieWait>*>(data));
    GError* error = nullptr;
    if (!webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error)) {
      webViewLog().error("Unable to add the session cookie: %s", error ? error->message : "unknown error");
      g_clear_error(&error);
    }
    auto& self = **wait;
    self.done = true;
    if (self.stack && self.pendingURL) {
      auto url = std::move(*self.pendingURL);
      self.pendingURL.reset();
      self.stack->loadPage(url);
    }
  }
};

// One script-message channel: the page posts, the handler receives on the main thread.
struct WebKitWebViewStack::Channel {
  std::string name;
  std::shared_ptr<ScriptMessageHandler> handler;
  gulong signal = 0;

  static void received(WebKitUserContentManager*, JSCValue* value, gpointer data) {
    log::guardedCallback("script message", [&] { deliver(*static_cast<Channel*>(data), value); });
  }

  static void deliver(Channel& channel, JSCValue* value) {
    nlohmann::ordered_json body;
    if (jsc_value_is_string(value)) {
      gchar* text = jsc_value_to_string(value);
      body = text ? text : "";
      g_free(text);
    } else if (gchar* json = jsc_value_to_json(value, 0)) {
      // The page's value, nested too deep or not JSON at all, arrives as null.
      auto parsed = jsontext::parse(json);
      body = parsed ? std::move(*parsed) : nullptr;
      g_free(json);
    }
    channel.handler->didReceiveScriptMessage(body);
  }
};

// One running fade: opacity of `widget` (and optionally `other`) moves linearly to its target.
struct WebKitWebViewStack::Fade {
  WebKitWebViewStack* stack;
  GtkWidget* widget;
  double from;
  double to;
  GtkWidget* other;
  double otherFrom;
  double otherTo;
  gint64 start;
  std::function<void()> done;
  guint source = 0;

  static gboolean step(gpointer data) {
    // A fade whose completion threw is over all the same: its source goes.
    return log::guardedCallback("fade step", gboolean(G_SOURCE_REMOVE),
                                [data] { return advance(static_cast<Fade*>(data)); });
  }

  static gboolean advance(Fade* fade) {
    double t = std::min(1.0, static_cast<double>(g_get_monotonic_time() - fade->start) / kFadeMicroseconds);
    if (fade->widget) gtk_widget_set_opacity(fade->widget, fade->from + (fade->to - fade->from) * t);
    if (fade->other) gtk_widget_set_opacity(fade->other, fade->otherFrom + (fade->otherTo - fade->otherFrom) * t);
    if (t < 1.0) return G_SOURCE_CONTINUE;
    auto& timeouts = fade->stack->timeouts_;
    timeouts.erase(std::remove(timeouts.begin(), timeouts.end(), fade->source), timeouts.end());
    auto done = std::move(fade->done);
    if (done) done();
    return G_SOURCE_REMOVE;  // the source's destroy notification frees the fade
  }

  static void destroy(gpointer data) { delete static_cast<Fade*>(data); }
};

WebKitWebViewStack::WebKitWebViewStack(GtkWidget* launchView, Rgba launchColor, Rgba background,
                                       const std::filesystem::path& dataFolder, const std::filesystem::path& cacheFolder)
    : backgroundColor_(background) {
  root_ = gtk_overlay_new();
  g_object_ref_sink(root_);

  background_ = gtk_drawing_area_new();
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(background_), drawBackground, &backgroundColor_, nullptr);
  gtk_widget_set_hexpand(background_, TRUE);
  gtk_widget_set_vexpand(background_, TRUE);
  gtk_overlay_set_child(GTK_OVERLAY(root_), background_);

  contentManager_ = webkit_user_content_manager_new();
  WebKitNetworkSession* session =
      dataFolder.empty() ? nullptr
                         : webkit_network_session_new(dataFolder.c_str(), cacheFolder.empty() ? nullptr : cacheFolder.c_str());
  page_ = makeWebView(contentManager_, nullptr, session);
  if (session) {
    removeCachedLocalPages(session);  // pages of earlier starts, from ports that are gone
    g_object_unref(session);  // the page holds it
  }
  webkit_settings_set_media_playback_requires_user_gesture(webkit_web_view_get_settings(page_), FALSE);
  // The splash is a plain page with a content manager of its own (no scripts, no channels), in
  // the page's web process: one process to start instead of two.
  WebKitUserContentManager* splashManager = webkit_user_content_manager_new();
  splash_ = makeWebView(splashManager, page_);
  g_object_unref(splashManager);
  gtk_widget_set_opacity(GTK_WIDGET(splash_), 0.0);
  setUnpaintedColor(page_, launchColor);
  setUnpaintedColor(splash_, launchColor);

  gtk_overlay_add_overlay(GTK_OVERLAY(root_), GTK_WIDGET(page_));
  gtk_overlay_add_overlay(GTK_OVERLAY(root_), GTK_WIDGET(splash_));
  if (launchView) {
    launchView_ = launchView;
    gtk_overlay_add_overlay(GTK_OVERLAY(root_), launchView_);
  }
  g_signal_connect(page_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(page_, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(splash_, "load-changed", G_CALLBACK(onLoadChanged), this);

  // Files dropped anywhere on the stack are offered to the controller before WebKit sees them:
  // WebKit would otherwise navigate the page to the file.
  GtkDropTarget* drop = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(drop), GTK_PHASE_CAPTURE);
  g_signal_connect(drop, "drop",
                   G_CALLBACK(+[](GtkDropTarget*, const GValue* value, double, double, gpointer data) -> gboolean {
                     return log::guardedCallback("file drop", gboolean(FALSE), [&]() -> gboolean {
                       auto* self = static_cast<WebKitWebViewStack*>(data);
                       if (!self->events_.fileDropped) return FALSE;
                       auto first = shell::firstDroppedFile(value);
                       return first && self->events_.fileDropped(*first);
                     });
                   }),
                   this);
  gtk_widget_add_controller(root_, GTK_EVENT_CONTROLLER(drop));
}

WebKitWebViewStack::~WebKitWebViewStack() {
  if (cookieWait_) cookieWait_->stack = nullptr;
  for (guint source : timeouts_) g_source_remove(source);  // frees each unfinished fade
  g_signal_handlers_disconnect_by_data(page_, this);
  if (splash_) g_signal_handlers_disconnect_by_data(splash_, this);
  for (const auto& channel : channels_) g_signal_handler_disconnect(contentManager_, channel->signal);
  GtkEventController* drop = nullptr;
  GListModel* controllers = gtk_widget_observe_controllers(root_);
  for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
    auto* controller = GTK_EVENT_CONTROLLER(g_list_model_get_item(controllers, i));
    if (GTK_IS_DROP_TARGET(controller)) drop = controller;
    g_object_unref(controller);
  }
  g_object_unref(controllers);
  if (drop) g_signal_handlers_disconnect_by_data(drop, this);
  g_object_unref(contentManager_);
  g_object_unref(root_);
}

void WebKitWebViewStack::setEvents(Events events) { events_ = std::move(events); }

void WebKitWebViewStack::configure(const WebViewConfiguration& configuration) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  for (const auto& script : configuration.userScripts) {
    WebKitUserScript* userScript = webkit_user_script_new(
        script.source.c_str(),
        script.mainFrameOnly ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        script.injectionTime == UserScript::InjectionTime::documentStart ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
                                                                          : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END,
        nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_, userScript);
    webkit_user_script_unref(userScript);
  }
  for (const auto& [name, handler] : configuration.messageHandlers) {
    if (!handler || !webkit_user_content_manager_register_script_message_handler(contentManager_, name.c_str(), nullptr)) {
      continue;
    }
    auto channel = std::make_unique<Channel>();
    channel->name = name;
    channel->handler = handler;
    std::string signal = "script-message-received::" + name;
    channel->signal = g_signal_connect(contentManager_, signal.c_str(), G_CALLBACK(Channel::received), channel.get());
    channels_.push_back(std::move(channel));
  }
  webkit_settings_set_media_playback_requires_user_gesture(webkit_web_view_get_settings(page_),
                                                           configuration.mediaPlaybackRequiresUserAction);
  if (const auto& cookie = configuration.sessionCookie) {
    // WebKit then sends it on every request of the page, the media's range requests and the
    // WebSocket upgrade to the other port of the same host.
    SoupCookie* soup = soup_cookie_new(cookie->name.c_str(), cookie->value.c_str(), cookie->domain.c_str(), "/", -1);
    soup_cookie_set_http_only(soup, TRUE);
    WebKitCookieManager* manager =
        webkit_network_session_get_cookie_manager(webkit_web_view_get_network_session(page_));
    cookieWait_ = std::make_shared<CookieWait>();
    cookieWait_->stack = this;
    webkit_cookie_manager_add_cookie(manager, soup, nullptr, CookieWait::added,
                                     new std::shared_ptr<CookieWait>(cookieWait_));
    soup_cookie_free(soup);
  }
}

bool WebKitWebViewStack::loadSplash(const std::string& html, const std::filesystem::path& baseDirectory) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!splash_) return false;
  webkit_web_view_load_html(splash_, html.c_str(), fileURI(baseDirectory).c_str());
  return true;
}

void WebKitWebViewStack::revealSplash(std::function<void()> done) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  fade(splash_ ? GTK_WIDGET(splash_) : nullptr, 0.0, 1.0, launchView_, 0.0, [this, done = std::move(done)] {
    removeOverlay(launchView_);
    if (done) done();
  });
}

void WebKitWebViewStack::hideSplash(std::function<void()> done) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // After a reload the splash is long gone: only the completion remains to run.
  fade(splash_ ? GTK_WIDGET(splash_) : nullptr, 1.0, 0.0, nullptr, 0.0, [this, done = std::move(done)] {
    if (splash_) {
      g_signal_handlers_disconnect_by_data(splash_, this);
      GtkWidget* splash = GTK_WIDGET(splash_);
      splash_ = nullptr;
      removeOverlay(splash);
      // The page has painted: from now on it shows what a browser would.
      setUnpaintedColor(page_, Rgba{1, 1, 1, 1});
    }
    if (done) done();
  });
}

void WebKitWebViewStack::fade(GtkWidget* widget, double from, double to, GtkWidget* other, double otherTo,
                              std::function<void()> done) {
  auto* step = new Fade{this, widget, from, to, other, other ? gtk_widget_get_opacity(other) : 0.0, otherTo,
                        g_get_monotonic_time(), std::move(done)};
  step->source = g_timeout_add_full(G_PRIORITY_DEFAULT, kFadeStepMilliseconds, Fade::step, step, Fade::destroy);
  timeouts_.push_back(step->source);
}

void WebKitWebViewStack::removeOverlay(GtkWidget*& widget) {
  if (!widget) return;
  if (gtk_widget_get_parent(widget) == root_) gtk_overlay_remove_overlay(GTK_OVERLAY(root_), widget);
  widget = nullptr;
}

void WebKitWebViewStack::onLoadChanged(WebKitWebView* view, int event, void* data) {
  log::guardedCallback("load-changed", [&] {
    auto* self = static_cast<WebKitWebViewStack*>(data);
    if (view == self->page_ && event == WEBKIT_LOAD_STARTED) self->pageLoadFailed_ = false;
    if (event != WEBKIT_LOAD_FINISHED) return;
    const char* uri = webkit_web_view_get_uri(view);
    if (view == self->splash_) {
      webViewLog().debug("Navigated to url: %s", uri ? uri : "nil");
      if (self->events_.splashFinished) self->events_.splashFinished();
    } else if (view == self->page_) {
      // WebKit ends a failed load with "finished" too; only a load that succeeded navigated.
      if (self->pageLoadFailed_) return;
      webViewLog().debug("Navigated to url: %s", uri ? uri : "nil");
      // The page takes the keys from now on (the splash above it takes none).
      gtk_widget_grab_focus(GTK_WIDGET(self->page_));
      if (self->events_.pageFinished) self->events_.pageFinished();
    }
  });
}

int WebKitWebViewStack::onLoadFailed(WebKitWebView*, int, const char* uri, void* error, void* data) {
  auto* self = static_cast<WebKitWebViewStack*>(data);
  self->pageLoadFailed_ = true;
  const auto* failure = static_cast<const GError*>(error);
  // A load replaced by a newer one is cancelled: that one reports for both.
  if (failure && g_error_matches(failure, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) return FALSE;
  if (self->events_.pageFailed) {
    self->events_.pageFailed(uri ? uri : "", failure && failure->message ? failure->message : "unknown error");
  }
  return TRUE;  // no error page: the splash stays until a load succeeds
}

void WebKitWebViewStack::loadPage(const std::string& url) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (cookieWait_ && !cookieWait_->done) {
    cookieWait_->pendingURL = url;  // loads once the session cookie is in the store
    return;
  }
  // WebKitGTK offers no per-request time-out; its own network time-outs apply.
  webkit_web_view_load_uri(page_, url.c_str());
}

void WebKitWebViewStack::reload() { webkit_web_view_reload(page_); }

void WebKitWebViewStack::clipboardText(std::function<void(std::optional<std::string>)> completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  GdkClipboard* clipboard = gtk_widget_get_clipboard(GTK_WIDGET(page_));
  auto* pending = new std::function<void(std::optional<std::string>)>(std::move(completion));
  gdk_clipboard_read_text_async(
      clipboard, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(std::optional<std::string>)>> completion(
            static_cast<std::function<void(std::optional<std::string>)>*>(data));
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, nullptr);
        std::optional<std::string> value;
        if (text) value = text;
        g_free(text);
        log::guardedCallback("clipboard read", [&] { (*completion)(std::move(value)); });
      },
      pending);
}

void WebKitWebViewStack::executeEditingCommand(const std::string& command) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  webkit_web_view_execute_editing_command(page_, command.c_str());
}

}  // namespace kestrom::webview
