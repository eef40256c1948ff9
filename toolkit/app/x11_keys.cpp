#include "app/x11_keys.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef QZ_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace qz::toolkit {

#ifdef QZ_HAVE_XCB
namespace {

constexpr uint32_t kKeysymLowerR = 0x72, kKeysymUpperR = 0x52;
constexpr uint32_t kKeysymLowerL = 0x6C, kKeysymUpperL = 0x4C;
constexpr uint16_t kLock = XCB_MOD_MASK_LOCK;  // CapsLock
constexpr uint16_t kNumLock = XCB_MOD_MASK_2;  // NumLock on every common layout
constexpr uint16_t kCombination = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_cookie_t ck = xcb_intern_atom(c, 0, uint16_t(strlen(name)), name);
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, ck, nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  free(r);
  return a;
}

// Runs a handler after the native event has been dealt with: the handlers open boxes.
void later(const std::function<void()>& fn) {
  if (fn) QTimer::singleShot(0, qApp, fn);
}

}  // namespace
#endif

X11Keys::X11Keys(Handlers handlers) : handlers_(std::move(handlers)) {}

X11Keys::~X11Keys() { ungrab(); }

bool X11Keys::grab(QString* why) {
#ifdef QZ_HAVE_XCB
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) {
    *why = QStringLiteral("this desktop session offers no X11 key grabs");
    return false;
  }
  auto* c = x11->connection();
  connection_ = c;
  const xcb_setup_t* setup = xcb_get_setup(c);
  xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
  root_ = screen->root;
  managerAtom_ = atom(c, "MANAGER");
  trayAtom_ = atom(c, "_NET_SYSTEM_TRAY_S0");

  // Announcements of a tray manager come as client messages to the root window.
  xcb_get_window_attributes_reply_t* attrs =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root_), nullptr);
  uint32_t mask = (attrs ? attrs->your_event_mask : 0) | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  free(attrs);
  xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &mask);

  if (!filtering_) {
    QCoreApplication::instance()->installNativeEventFilter(this);
    filtering_ = true;
  }

  const uint8_t first = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  xcb_get_keyboard_mapping_reply_t* map =
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, uint8_t(count)), nullptr);
  resetCodes_.clear();
  logCodes_.clear();
  if (map) {
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    const int per = map->keysyms_per_keycode;
    for (int k = 0; k < count; ++k) {
      // The unshifted and shifted symbols of the key.
      for (int col = 0; col < per && col < 2; ++col) {
        xcb_keysym_t s = syms[k * per + col];
        uint8_t code = uint8_t(first + k);
        if ((s == kKeysymLowerR || s == kKeysymUpperR) &&
            std::find(resetCodes_.begin(), resetCodes_.end(), code) == resetCodes_.end())
          resetCodes_.push_back(code);
        if ((s == kKeysymLowerL || s == kKeysymUpperL) &&
            std::find(logCodes_.begin(), logCodes_.end(), code) == logCodes_.end())
          logCodes_.push_back(code);
      }
    }
    free(map);
  }
  if (resetCodes_.empty() || logCodes_.empty()) {
    *why = QStringLiteral("the keyboard layout has no R or L key");
    return false;
  }

  bool refused = false;
  for (const auto* codes : {&resetCodes_, &logCodes_}) {
    for (uint8_t code : *codes) {
      for (uint16_t extra : {uint16_t(0), kLock, kNumLock, uint16_t(kLock | kNumLock)}) {
        uint16_t mods = kCombination | extra;
        xcb_void_cookie_t ck = xcb_grab_key_checked(c, 1, root_, mods, code, XCB_GRAB_MODE_ASYNC,
                                                    XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* e = xcb_request_check(c, ck)) {
          free(e);
          refused = true;
        } else {
          grabbed_.emplace_back(code, mods);
        }
      }
    }
  }
  xcb_flush(c);
  if (refused) {
    *why = QStringLiteral("another program holds Ctrl+Shift+R or Ctrl+Shift+L");
    return false;
  }
  return true;
#else
  *why = QStringLiteral("this build has no X11 key grabs");
  return false;
#endif
}

void X11Keys::ungrab() {
#ifdef QZ_HAVE_XCB
  auto* c = static_cast<xcb_connection_t*>(connection_);
  if (c) {
    for (auto [code, mods] : grabbed_) xcb_ungrab_key(c, code, root_, mods);
    xcb_flush(c);
  }
#endif
  grabbed_.clear();
  if (filtering_ && QCoreApplication::instance())
    QCoreApplication::instance()->removeNativeEventFilter(this);
  filtering_ = false;
}

bool X11Keys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#ifdef QZ_HAVE_XCB
  if (eventType != "xcb_generic_event_t") return false;
  auto* ev = static_cast<xcb_generic_event_t*>(message);
  const uint8_t type = ev->response_type & 0x7F;
  if (type == XCB_KEY_PRESS) {
    auto* k = reinterpret_cast<xcb_key_press_event_t*>(ev);
    if (k->event != root_ || (k->state & kCombination) != kCombination) return false;
    if (std::find(resetCodes_.begin(), resetCodes_.end(), k->detail) != resetCodes_.end()) {
      later(handlers_.reset);
      return true;
    }
    if (std::find(logCodes_.begin(), logCodes_.end(), k->detail) != logCodes_.end()) {
      later(handlers_.log);
      return true;
    }
  } else if (type == XCB_CLIENT_MESSAGE) {
    auto* m = reinterpret_cast<xcb_client_message_event_t*>(ev);
    if (m->window == root_ && m->type == managerAtom_ && m->format == 32 &&
        m->data.data32[1] == trayAtom_)
      later(handlers_.trayCreated);
  }
#else
  (void)eventType;
  (void)message;
#endif
  return false;
}

}  // namespace qz::toolkit
