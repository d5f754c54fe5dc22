// zdriver: drives the installer's window from outside, the way a user would,
// for the end-to-end tests and the demo. Prints JSON lines on stdout.
//
//   zdriver list                      every child control of the window
//   zdriver click <id>                BM_CLICK to the (visible) control
//   zdriver command <id>              WM_COMMAND <id> to the window
//   zdriver message <msg> <wp> <lp>   SendMessage to the window (--post posts)
//   zdriver minimize | restore
//   zdriver caption
//   zdriver msgbox [ok|cancel|yes|no|<id>]
//   zdriver screenshot <file.bmp>
//   zdriver wait-window <seconds> [poll-ms]   prints when it starts waiting
//                                    and the system time it saw the window
//   zdriver pointer <id>|<x> <y>      moves the pointer (client coordinates)
//   zdriver focus                     the control with the keyboard focus
//   zdriver key tab|space|enter|esc   posts the key's down, character and up
//                                    messages to the focused control (the
//                                    window where none is), as the keyboard
//                                    would; prints where they went
//   zdriver open-write <path>         opens the file for writing as another
//                                    program would; prints the error code
//   zdriver watch <seconds> [interval-ms] [slow-ms]
//                                    times a WM_NULL round trip to the window
//                                    every interval (100 ms) until the window
//                                    is gone or the seconds pass; prints the
//                                    count, the slowest, every one slower than
//                                    slow-ms (500) and the last one, which the
//                                    window's end may have cut short; a wait
//                                    is given up after 1 s (or twice slow-ms)
//   zdriver reg-query <key>           the key's values, one a line; exit 3
//                                    when the key does not exist
//   zdriver reg-set <key> <name> dword|sz <value>
//   zdriver reg-delete <key> [<name>] the whole key, or one value
//   zdriver serve                     reads commands from stdin, one a line,
//                                    arguments separated by tabs; after each
//                                    prints {"zdriver-exit": <code>}. One
//                                    process for a whole test run: a Wine
//                                    process per poll costs far more than
//                                    the poll.
//
// Exit codes: 0 done, 1 no window, 2 usage, 3 no such control or refused,
// 4 the window did not answer in time.
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static const char kClassPrefix[] = "Zembrio:";
static const UINT kSendTimeoutMs = 30000;

static std::string Json(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    return out + "\"";
}

static std::string ClassOf(HWND hwnd)
{
    char name[256] = "";
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

static std::string TextOf(HWND hwnd)
{
    char text[1024] = "";
    DWORD_PTR n = 0;
    // Sent with a time-out: a busy window must not hang the driver.
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &n))
        GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

static bool IsInstallerWindow(HWND hwnd)
{
    return ClassOf(hwnd).compare(0, sizeof kClassPrefix - 1, kClassPrefix) == 0 && !GetParent(hwnd);
}

static BOOL CALLBACK FindFrame(HWND hwnd, LPARAM param)
{
    HWND* found = (HWND*)param;
    if (IsInstallerWindow(hwnd) && IsWindowVisible(hwnd)) {
        *found = hwnd;
        return FALSE;
    }
    if (IsInstallerWindow(hwnd) && !*found)
        *found = hwnd;
    return TRUE;
}

static HWND FindInstallerWindow()
{
    HWND found = nullptr;
    EnumWindows(FindFrame, (LPARAM)&found);
    return found;
}

static std::vector<HWND> Children(HWND frame)
{
    std::vector<HWND> list;
    for (HWND child = GetWindow(frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        list.push_back(child);
    return list;
}

static bool OwnVisible(HWND hwnd)
{
    return (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

static int CheckState(HWND hwnd)
{
    if (ClassOf(hwnd) != "Button")
        return -1;
    LONG type = GetWindowLongA(hwnd, GWL_STYLE) & BS_TYPEMASK;
    if (type != BS_CHECKBOX && type != BS_AUTOCHECKBOX && type != BS_3STATE && type != BS_AUTO3STATE &&
        type != BS_RADIOBUTTON && type != BS_AUTORADIOBUTTON)
        return -1;
    DWORD_PTR state = 0;
    SendMessageTimeoutA(hwnd, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return (int)state;
}

static RECT RectInParent(HWND hwnd, HWND parent)
{
    RECT rc;
    GetWindowRect(hwnd, &rc);
    MapWindowPoints(nullptr, parent, (POINT*)&rc, 2);
    return rc;
}

static void PrintControl(HWND child, HWND frame)
{
    RECT rc = RectInParent(child, frame);
    int check = CheckState(child);
    std::string line = "{\"id\": " + std::to_string(GetDlgCtrlID(child)) + ", \"class\": " + Json(ClassOf(child)) +
                       ", \"visible\": " + (OwnVisible(child) ? "true" : "false") +
                       ", \"enabled\": " + (IsWindowEnabled(child) ? "true" : "false") +
                       ", \"text\": " + Json(TextOf(child)) +
                       ", \"check\": " + (check < 0 ? std::string("null") : std::to_string(check)) +
                       ", \"rect\": [" + std::to_string(rc.left) + ", " + std::to_string(rc.top) + ", " +
                       std::to_string(rc.right) + ", " + std::to_string(rc.bottom) + "]}";
    printf("%s\n", line.c_str());
}

// The control with this identifier; of two (Next and Continue share one)
// the visible one.
static HWND FindControl(HWND frame, int id)
{
    HWND any = nullptr;
    for (HWND child : Children(frame)) {
        if (GetDlgCtrlID(child) != id)
            continue;
        if (OwnVisible(child))
            return child;
        if (!any)
            any = child;
    }
    return any;
}

// The window that has the keyboard focus in the installer's thread.
static HWND FocusOf(HWND frame)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(frame, nullptr);
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

static void PrintFocus(const char* key, HWND focus, HWND frame)
{
    char cls[64] = "";
    if (focus)
        GetClassNameA(focus, cls, sizeof cls);
    printf("{\"%s\": %d, \"class\": %s}\n", key, focus && focus != frame ? GetDlgCtrlID(focus) : 0,
           Json(cls).c_str());
}

static int PostKey(HWND frame, const std::string& name)
{
    static const struct { const char* name; UINT vk; char ch; } keys[] = {
        {"tab", VK_TAB, '\t'}, {"space", VK_SPACE, ' '}, {"enter", VK_RETURN, '\r'}, {"esc", VK_ESCAPE, 27},
    };
    for (const auto& key : keys) {
        if (name != key.name)
            continue;
        HWND focus = FocusOf(frame);
        HWND target = focus ? focus : frame;
        LPARAM scan = (LPARAM)MapVirtualKeyA(key.vk, 0) << 16;
        BOOL ok = PostMessageA(target, WM_KEYDOWN, key.vk, scan | 1) &&
                  PostMessageA(target, WM_CHAR, (WPARAM)(unsigned char)key.ch, scan | 1) &&
                  PostMessageA(target, WM_KEYUP, key.vk, scan | 0xC0000001);
        PrintFocus("to", target, frame);
        return ok ? 0 : 3;
    }
    return 2;
}

static int Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, bool post)
{
    if (post) {
        BOOL ok = PostMessageA(hwnd, msg, wp, lp);
        printf("{\"posted\": %s}\n", ok ? "true" : "false");
        return ok ? 0 : 3;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_NORMAL, kSendTimeoutMs, &result)) {
        printf("{\"error\": \"no answer\", \"last_error\": %lu}\n", GetLastError());
        return 4;
    }
    printf("{\"result\": %lld}\n", (long long)(LONG_PTR)result);
    return 0;
}

static UINT MessageNumber(const char* text)
{
    static const struct { const char* name; UINT msg; } names[] = {
        {"WM_QUERYENDSESSION", WM_QUERYENDSESSION}, {"WM_ENDSESSION", WM_ENDSESSION}, {"WM_CLOSE", WM_CLOSE},
        {"WM_SYSCOMMAND", WM_SYSCOMMAND},
        {"WM_APP", WM_APP}, {"WM_TIMER", WM_TIMER}, {"WM_COMMAND", WM_COMMAND}, {"WM_SIZE", WM_SIZE},
        {"WM_ACTIVATE", WM_ACTIVATE}, {"WM_NCHITTEST", WM_NCHITTEST},
    };
    for (auto& n : names)
        if (!_stricmp(text, n.name))
            return n.msg;
    return (UINT)strtoul(text, nullptr, 0);
}

static bool SaveBitmap(HDC source, int x, int y, int w, int h, const char* path)
{
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;    // bottom-up, as BMP files store rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(source, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!memory || !dib) {
        if (memory)
            DeleteDC(memory);
        return false;
    }
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, w, h, source, x, y, SRCCOPY);
    GdiFlush();
    SelectObject(memory, old);
    DWORD stride = ((DWORD)w * 3 + 3) & ~3u;
    DWORD imageSize = stride * (DWORD)h;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + imageSize;
    bi.bmiHeader.biSizeImage = imageSize;
    bool ok = false;
    if (FILE* f = fopen(path, "wb")) {
        ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
             fwrite(bits, 1, imageSize, f) == imageSize;
        ok = (fclose(f) == 0) && ok;
    }
    DeleteObject(dib);
    DeleteDC(memory);
    return ok;
}

// The window as it is on the screen (it paints only in WM_PAINT, so
// PrintWindow would see nothing of its own drawing).
static int Screenshot(HWND frame, const char* path)
{
    RECT rc;
    GetWindowRect(frame, &rc);
    RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(200);
    HDC screen = GetDC(nullptr);
    bool ok = SaveBitmap(screen, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, path);
    ReleaseDC(nullptr, screen);
    printf("{\"file\": %s, \"width\": %ld, \"height\": %ld, \"saved\": %s}\n", Json(path).c_str(),
           rc.right - rc.left, rc.bottom - rc.top, ok ? "true" : "false");
    return ok ? 0 : 3;
}

static std::vector<DWORD> InstallerProcesses(HWND frame)
{
    std::vector<DWORD> ids;
    if (frame) {
        DWORD pid = 0;
        GetWindowThreadProcessId(frame, &pid);
        ids.push_back(pid);
    }
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 pe = {};
        pe.dwSize = sizeof pe;
        for (BOOL more = Process32First(snap, &pe); more; more = Process32Next(snap, &pe))
            if (!_stricmp(pe.szExeFile, "ZembrioInstaller.exe"))
                ids.push_back(pe.th32ProcessID);
        CloseHandle(snap);
    }
    return ids;
}

struct BoxSearch {
    std::vector<DWORD> pids;
    HWND box;
};

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM param)
{
    BoxSearch* search = (BoxSearch*)param;
    if (ClassOf(hwnd) != "#32770" || !IsWindowVisible(hwnd))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    for (DWORD p : search->pids)
        if (p == pid) {
            search->box = hwnd;
            return FALSE;
        }
    return TRUE;
}

static int MessageBoxCommand(HWND frame, const char* answer)
{
    BoxSearch search = {InstallerProcesses(frame), nullptr};
    EnumWindows(FindBox, (LPARAM)&search);
    if (!search.box) {
        printf("{\"error\": \"no message box\"}\n");
        return 3;
    }
    HWND text = GetDlgItem(search.box, 0xFFFF);
    printf("{\"caption\": %s, \"text\": %s}\n", Json(TextOf(search.box)).c_str(),
           Json(text ? TextOf(text) : "").c_str());
    if (!answer)
        return 0;
    int id = !_stricmp(answer, "ok") ? IDOK : !_stricmp(answer, "cancel") ? IDCANCEL
           : !_stricmp(answer, "yes") ? IDYES : !_stricmp(answer, "no") ? IDNO : atoi(answer);
    HWND button = GetDlgItem(search.box, id);
    if (button)
        return Send(button, BM_CLICK, 0, 0, true);
    return Send(search.box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0, true);
}

// Unix time, comparable with the caller's clock (Wine's system time is the
// host's).
static double UnixTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG ticks = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (double)(ticks - 116444736000000000ULL) / 1e7;
}

static int Watch(HWND frame, double seconds, int intervalMs, double slowMs)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    DWORD deadline = GetTickCount() + (DWORD)(seconds * 1000);
    int samples = 0;
    double slowest = 0, last = 0;
    std::string slow;
    bool gone = false;
    UINT giveUpMs = slowMs > 500 ? (UINT)(2 * slowMs) : 1000;
    printf("{\"watching\": true, \"time\": %.4f}\n", UnixTime());
    fflush(stdout);
    while ((LONG)(GetTickCount() - deadline) < 0) {
        double sent = UnixTime();
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        DWORD_PTR result = 0;
        BOOL answered = SendMessageTimeoutA(frame, WM_NULL, 0, 0, SMTO_NORMAL, giveUpMs, &result);
        QueryPerformanceCounter(&after);
        last = (double)(after.QuadPart - before.QuadPart) * 1000.0 / (double)frequency.QuadPart;
        // A window that went while the message waited did not answer it,
        // though it may have stopped answering a moment before it went.
        // One still there has not answered in time.
        if (!answered && !IsWindow(frame)) {
            gone = true;
            break;
        }
        samples++;
        if (last > slowest)
            slowest = last;
        if (last > slowMs) {
            char entry[64];
            snprintf(entry, sizeof entry, "%s[%.3f, %.1f]", slow.empty() ? "" : ", ", sent, last);
            slow += entry;
        }
        Sleep(intervalMs);
    }
    printf("{\"samples\": %d, \"max_ms\": %.1f, \"slow\": [%s], \"gone\": %s, \"last_ms\": %.1f, \"time\": %.4f}\n",
           samples, slowest, slow.c_str(), gone ? "true" : "false", last, UnixTime());
    return 0;
}

static int Usage()
{
    fprintf(stderr, "usage: zdriver [--post] list|click <id>|command <id>|message <msg> <wparam> <lparam>|"
                    "minimize|restore|caption|msgbox [button]|screenshot <file.bmp>|wait-window <seconds> [poll-ms]|"
                    "pointer <id>|pointer <x> <y>|open-write <path>|watch <seconds> [interval-ms] [slow-ms]\n");
    return 2;
}

// "HKCU\\Software\\x" -> the root and the path below it.
static bool SplitKey(const std::string& key, HKEY& root, std::string& sub)
{
    static const struct { const char* name; HKEY root; } roots[] = {
        {"HKCU", HKEY_CURRENT_USER}, {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    };
    size_t slash = key.find('\\');
    std::string head = key.substr(0, slash);
    for (auto& r : roots)
        if (!_stricmp(head.c_str(), r.name)) {
            root = r.root;
            sub = slash == std::string::npos ? "" : key.substr(slash + 1);
            return true;
        }
    return false;
}

static int RegQuery(const std::string& key)
{
    HKEY root, hkey;
    std::string sub;
    if (!SplitKey(key, root, sub))
        return 2;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &hkey) != ERROR_SUCCESS) {
        printf("{\"error\": \"no such key\"}\n");
        return 3;
    }
    for (DWORD i = 0;; ++i) {
        char name[16384];
        BYTE data[65536];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        if (RegEnumValueA(hkey, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        std::string value;
        if (type == REG_DWORD && dataSize == 4) {
            value = std::to_string(*(DWORD*)data);
        } else {
            data[dataSize] = 0;
            size_t n = dataSize;
            if (type == REG_SZ || type == REG_EXPAND_SZ)
                n = strlen((const char*)data);
            value = Json(std::string((const char*)data, n));
        }
        printf("{\"name\": %s, \"type\": %lu, \"value\": %s}\n", Json(std::string(name, nameSize)).c_str(),
               type, value.c_str());
    }
    RegCloseKey(hkey);
    return 0;
}

static int RegSet(const std::string& key, const std::string& name, const std::string& type, const std::string& value)
{
    HKEY root, hkey;
    std::string sub;
    if (!SplitKey(key, root, sub) || (type != "dword" && type != "sz"))
        return 2;
    if (RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &hkey, nullptr) != ERROR_SUCCESS)
        return 3;
    LONG result;
    if (type == "dword") {
        DWORD number = (DWORD)strtoul(value.c_str(), nullptr, 0);
        result = RegSetValueExA(hkey, name.c_str(), 0, REG_DWORD, (const BYTE*)&number, sizeof number);
    } else {
        result = RegSetValueExA(hkey, name.c_str(), 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
    }
    RegCloseKey(hkey);
    return result == ERROR_SUCCESS ? 0 : 3;
}

static int RegDelete(const std::string& key, const std::string* name)
{
    HKEY root;
    std::string sub;
    if (!SplitKey(key, root, sub) || sub.empty())
        return 2;
    if (name) {
        HKEY hkey;
        if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_SET_VALUE, &hkey) != ERROR_SUCCESS)
            return 3;
        LONG result = RegDeleteValueA(hkey, name->c_str());
        RegCloseKey(hkey);
        return result == ERROR_SUCCESS ? 0 : 3;
    }
    return RegDeleteTreeA(root, sub.c_str()) == ERROR_SUCCESS && RegDeleteKeyA(root, sub.c_str()) == ERROR_SUCCESS ? 0 : 3;
}

static int Command(std::vector<std::string> argv);

// Commands from stdin until it ends; each answer ends with its exit code, so
// the caller knows where one answer stops.
static int Serve()
{
    char line[8192];
    while (fgets(line, sizeof line, stdin)) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        std::vector<std::string> argv;
        for (size_t start = 0;;) {
            size_t tab = text.find('\t', start);
            argv.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        int code = text.empty() ? 2 : Command(argv);
        printf("{\"zdriver-exit\": %d}\n", code);
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && !strcmp(argv[1], "serve"))
        return Serve();
    return Command(std::vector<std::string>(argv + 1, argv + argc));
}

static int Command(std::vector<std::string> argv)
{
    bool post = false;
    bool force = false;
    std::vector<std::string> args;
    for (const std::string& arg : argv) {
        if (arg == "--post")
            post = true;
        else if (arg == "--force")
            force = true;
        else
            args.push_back(arg);
    }
    if (args.empty())
        return Usage();
    const std::string& cmd = args[0];

    if (cmd == "wait-window") {
        double seconds = args.size() > 1 ? atof(args[1].c_str()) : 30;
        int pollMs = args.size() > 2 ? atoi(args[2].c_str()) : 100;
        DWORD deadline = GetTickCount() + (DWORD)(seconds * 1000);
        // A caller that times a start launches the program once this is out.
        printf("{\"waiting\": true}\n");
        fflush(stdout);
        HWND frame;
        while (!(frame = FindInstallerWindow()) || !IsWindowVisible(frame)) {
            if ((LONG)(GetTickCount() - deadline) >= 0) {
                printf("{\"found\": false}\n");
                return 1;
            }
            Sleep(pollMs > 0 ? pollMs : 1);
        }
        printf("{\"found\": true, \"caption\": %s, \"time\": %.4f}\n", Json(TextOf(frame)).c_str(), UnixTime());
        return 0;
    }

    if (cmd == "reg-query" && args.size() == 2)
        return RegQuery(args[1]);
    if (cmd == "reg-set" && args.size() == 5)
        return RegSet(args[1], args[2], args[3], args[4]);
    if (cmd == "reg-delete" && (args.size() == 2 || args.size() == 3))
        return RegDelete(args[1], args.size() == 3 ? &args[2] : nullptr);

    if (cmd == "open-write" && args.size() == 2) {
        HANDLE file = CreateFileA(args[1].c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        printf("{\"error\": %lu}\n", error);
        return 0;
    }

    HWND frame = FindInstallerWindow();
    if (cmd == "msgbox")
        return MessageBoxCommand(frame, args.size() > 1 ? args[1].c_str() : nullptr);
    if (!frame) {
        printf("{\"error\": \"no installer window\"}\n");
        return 1;
    }

    if (cmd == "list") {
        for (HWND child : Children(frame))
            PrintControl(child, frame);
        return 0;
    }
    if (cmd == "caption") {
        RECT rc;
        GetWindowRect(frame, &rc);
        printf("{\"caption\": %s, \"minimized\": %s, \"visible\": %s, \"rect\": [%ld, %ld, %ld, %ld]}\n",
               Json(TextOf(frame)).c_str(), IsIconic(frame) ? "true" : "false",
               IsWindowVisible(frame) ? "true" : "false", rc.left, rc.top, rc.right, rc.bottom);
        return 0;
    }
    if (cmd == "click" && args.size() == 2) {
        HWND control = FindControl(frame, atoi(args[1].c_str()));
        if (!control) {
            printf("{\"error\": \"no such control\"}\n");
            return 3;
        }
        // A user cannot press what is hidden or disabled.
        if (!force && (!OwnVisible(control) || !IsWindowEnabled(control))) {
            printf("{\"error\": \"control is hidden or disabled\"}\n");
            return 3;
        }
        return Send(control, BM_CLICK, 0, 0, post);
    }
    if (cmd == "command" && args.size() == 2)
        return Send(frame, WM_COMMAND, MAKEWPARAM(atoi(args[1].c_str()), 0), 0, post);
    if (cmd == "message" && args.size() == 4)
        return Send(frame, MessageNumber(args[1].c_str()), (WPARAM)strtoull(args[2].c_str(), nullptr, 0),
                    (LPARAM)strtoll(args[3].c_str(), nullptr, 0), post);
    if (cmd == "minimize" || cmd == "restore") {
        bool minimize = cmd == "minimize";
        // Through the system command, as the task bar does it.
        PostMessageA(frame, WM_SYSCOMMAND, minimize ? SC_MINIMIZE : SC_RESTORE, 0);
        for (int i = 0; i < 50 && (IsIconic(frame) != 0) != minimize; ++i)
            Sleep(100);
        bool done = (IsIconic(frame) != 0) == minimize;
        printf("{\"minimized\": %s, \"caption\": %s}\n", IsIconic(frame) ? "true" : "false",
               Json(TextOf(frame)).c_str());
        return done ? 0 : 4;
    }
    if (cmd == "focus") {
        PrintFocus("focus", FocusOf(frame), frame);
        return 0;
    }
    if (cmd == "key" && args.size() == 2)
        return PostKey(frame, args[1]);
    if (cmd == "screenshot" && args.size() == 2)
        return Screenshot(frame, args[1].c_str());
    if (cmd == "watch" && args.size() >= 2 && args.size() <= 4)
        return Watch(frame, atof(args[1].c_str()), args.size() > 2 ? atoi(args[2].c_str()) : 100,
                     args.size() > 3 ? atof(args[3].c_str()) : 500);
    if (cmd == "pointer" && (args.size() == 2 || args.size() == 3)) {
        POINT pt;
        if (args.size() == 2) {
            HWND control = FindControl(frame, atoi(args[1].c_str()));
            if (!control)
                return 3;
            RECT rc = RectInParent(control, frame);
            pt = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
        } else {
            pt = {atoi(args[1].c_str()), atoi(args[2].c_str())};
        }
        ClientToScreen(frame, &pt);
        SetCursorPos(pt.x, pt.y);
        printf("{\"pointer\": [%ld, %ld]}\n", pt.x, pt.y);
        return 0;
    }
    return Usage();
}
