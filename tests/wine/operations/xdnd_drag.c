/* xdnd_drag: drops files onto the X window under a screen point, the way a
 * file manager does it (the source side of the XDND protocol, version 5).
 *
 *   xdnd_drag [-t SECONDS] X Y PATH...
 *
 * X and Y are root-window coordinates; each PATH is an absolute Unix path and
 * travels as a file:// URI in a text/uri-list. The drop goes to the
 * innermost window at (X, Y) that announces XdndAware; Wine sets that on its
 * top-level windows and turns an accepted drop into WM_DROPFILES for a window
 * with WS_EX_ACCEPTFILES.
 *
 * Wine reads the data when the drag enters, not at the drop: the selection
 * request arrives right after XdndEnter and must be answered within about
 * half a second, so every wait below keeps answering selection requests.
 *
 * Exit codes: 0 dropped and finished, 1 usage, 2 no display, 3 no XdndAware
 * window at the point, 4 the target refused the drop, 5 time-out (the stage
 * is printed), 6 the selection could not be owned.
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

enum { kXdndVersion = 5 };

static Display *display;
static Window source;
static Atom aAware, aEnter, aPosition, aStatus, aDrop, aFinished, aLeave, aSelection, aActionCopy,
    aUriList, aTargets;
static char *uriList;
static size_t uriListLength;
static int selectionRequests;

static void Fail(int code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("xdnd_drag: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(code);
}

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* RFC 3986 unreserved characters and "/" stay; everything else is escaped,
 * so blanks and non-ASCII letters in paths survive the trip. */
static void AppendUri(const char *path) {
  static const char hex[] = "0123456789ABCDEF";
  size_t need = uriListLength + 7 + strlen(path) * 3 + 3;
  uriList = realloc(uriList, need);
  if (!uriList) Fail(1, "out of memory");
  uriListLength += (size_t)sprintf(uriList + uriListLength, "file://");
  for (const unsigned char *p = (const unsigned char *)path; *p; ++p) {
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
        strchr("-._~/", *p)) {
      uriList[uriListLength++] = (char)*p;
    } else {
      uriList[uriListLength++] = '%';
      uriList[uriListLength++] = hex[*p >> 4];
      uriList[uriListLength++] = hex[*p & 15];
    }
  }
  /* text/uri-list lines end in CR LF; Wine's reader insists on it. */
  uriList[uriListLength++] = '\r';
  uriList[uriListLength++] = '\n';
  uriList[uriListLength] = '\0';
}

static int XdndVersionOf(Window window) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = NULL;
  int version = -1;
  if (XGetWindowProperty(display, window, aAware, 0, 1, False, AnyPropertyType, &type, &format, &count,
                         &after, &data) == Success &&
      type != None && format == 32 && count == 1) {
    version = (int)((long *)data)[0];
  }
  if (data) XFree(data);
  return version;
}

/* Walks down from the root through the windows that contain the point, as
 * the pointer would, and takes the first one that speaks XDND. The window
 * manager's frames don't; the program's own top-level window does. */
static Window FindTarget(int x, int y, int *version) {
  Window root = DefaultRootWindow(display);
  Window current = root;
  for (int depth = 0; depth < 32; ++depth) {
    if (current != root) {
      int v = XdndVersionOf(current);
      if (v >= 0) {
        *version = v;
        return current;
      }
    }
    int cx, cy;
    Window child = None;
    if (!XTranslateCoordinates(display, root, current, x, y, &cx, &cy, &child) || child == None) break;
    current = child;
  }
  return None;
}

static void SendClientMessage(Window target, Atom type, long l1, long l2, long l3, long l4) {
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.display = display;
  event.xclient.window = target;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)source;
  event.xclient.data.l[1] = l1;
  event.xclient.data.l[2] = l2;
  event.xclient.data.l[3] = l3;
  event.xclient.data.l[4] = l4;
  XSendEvent(display, target, False, NoEventMask, &event);
  XFlush(display);
}

static void AnswerSelectionRequest(const XSelectionRequestEvent *request) {
  XEvent reply;
  memset(&reply, 0, sizeof reply);
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = display;
  reply.xselection.requestor = request->requestor;
  reply.xselection.selection = request->selection;
  reply.xselection.target = request->target;
  reply.xselection.time = request->time;
  /* Obsolete clients leave the property None and mean the target's name. */
  Atom property = request->property != None ? request->property : request->target;
  reply.xselection.property = None;
  if (request->selection == aSelection && request->target == aUriList) {
    XChangeProperty(display, request->requestor, property, aUriList, 8, PropModeReplace,
                    (const unsigned char *)uriList, (int)uriListLength);
    reply.xselection.property = property;
  } else if (request->selection == aSelection && request->target == aTargets) {
    Atom targets[2] = {aTargets, aUriList};
    XChangeProperty(display, request->requestor, property, XA_ATOM, 32, PropModeReplace,
                    (const unsigned char *)targets, 2);
    reply.xselection.property = property;
  }
  ++selectionRequests;
  XSendEvent(display, request->requestor, False, NoEventMask, &reply);
  XFlush(display);
}

/* Waits for a client message of |type| from |target|, answering selection
 * requests meanwhile. Returns 1 with the event, 0 at the deadline. */
static int WaitForMessage(Window target, Atom type, double deadline, XClientMessageEvent *out) {
  int fd = ConnectionNumber(display);
  for (;;) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == SelectionRequest) {
        AnswerSelectionRequest(&event.xselectionrequest);
      } else if (event.type == ClientMessage && event.xclient.message_type == type &&
                 (Window)event.xclient.data.l[0] == target) {
        *out = event.xclient;
        return 1;
      }
    }
    double left = deadline - Now();
    if (left <= 0) return 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval wait = {(time_t)left, (suseconds_t)((left - (time_t)left) * 1e6)};
    if (select(fd + 1, &readable, NULL, NULL, &wait) < 0 && errno != EINTR) Fail(5, "select failed");
  }
}

int main(int argc, char **argv) {
  double timeout = 20;
  int arg = 1;
  if (arg + 1 < argc && strcmp(argv[arg], "-t") == 0) {
    timeout = atof(argv[arg + 1]);
    arg += 2;
  }
  if (argc - arg < 3 || timeout <= 0) {
    fprintf(stderr, "usage: xdnd_drag [-t SECONDS] X Y PATH...\n");
    return 1;
  }
  int x = atoi(argv[arg]), y = atoi(argv[arg + 1]);
  for (int i = arg + 2; i < argc; ++i) {
    if (argv[i][0] != '/') Fail(1, "not an absolute path: %s", argv[i]);
    AppendUri(argv[i]);
  }

  display = XOpenDisplay(NULL);
  if (!display) Fail(2, "cannot open display %s", getenv("DISPLAY") ? getenv("DISPLAY") : "(unset)");
  aAware = XInternAtom(display, "XdndAware", False);
  aEnter = XInternAtom(display, "XdndEnter", False);
  aPosition = XInternAtom(display, "XdndPosition", False);
  aStatus = XInternAtom(display, "XdndStatus", False);
  aDrop = XInternAtom(display, "XdndDrop", False);
  aFinished = XInternAtom(display, "XdndFinished", False);
  aLeave = XInternAtom(display, "XdndLeave", False);
  aSelection = XInternAtom(display, "XdndSelection", False);
  aActionCopy = XInternAtom(display, "XdndActionCopy", False);
  aUriList = XInternAtom(display, "text/uri-list", False);
  aTargets = XInternAtom(display, "TARGETS", False);

  int version = -1;
  Window target = FindTarget(x, y, &version);
  if (target == None) Fail(3, "no XdndAware window at %d,%d", x, y);
  if (version < 3) Fail(3, "window 0x%lx speaks XDND version %d only", target, version);
  if (version > kXdndVersion) version = kXdndVersion;

  source = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XChangeProperty(display, source, XInternAtom(display, "XdndTypeList", False), XA_ATOM, 32, PropModeReplace,
                  (const unsigned char *)&aUriList, 1);
  XSetSelectionOwner(display, aSelection, source, CurrentTime);
  if (XGetSelectionOwner(display, aSelection) != source) Fail(6, "could not own XdndSelection");
  XFlush(display);

  double deadline = Now() + timeout;
  SendClientMessage(target, aEnter, (long)version << 24, (long)aUriList, 0, 0);
  SendClientMessage(target, aPosition, 0, ((long)x << 16) | (y & 0xFFFF), CurrentTime, (long)aActionCopy);

  XClientMessageEvent reply;
  if (!WaitForMessage(target, aStatus, deadline, &reply)) {
    SendClientMessage(target, aLeave, 0, 0, 0, 0);
    Fail(5, "no XdndStatus from 0x%lx within %.0f s (%d selection requests answered)", target, timeout,
         selectionRequests);
  }
  if (!(reply.data.l[1] & 1)) {
    SendClientMessage(target, aLeave, 0, 0, 0, 0);
    Fail(4, "window 0x%lx refused the drop at %d,%d", target, x, y);
  }
  SendClientMessage(target, aDrop, 0, CurrentTime, 0, 0);
  if (!WaitForMessage(target, aFinished, deadline, &reply))
    Fail(5, "no XdndFinished from 0x%lx within %.0f s", target, timeout);
  printf("dropped %d entr%s on window 0x%lx (%d selection requests answered)\n", argc - arg - 2,
         argc - arg - 2 == 1 ? "y" : "ies", target, selectionRequests);
  XCloseDisplay(display);
  return 0;
}
