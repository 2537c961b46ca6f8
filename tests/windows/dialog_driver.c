/* Drives a dialog of another program as a person would, one command a line
 * on standard input, one answer a line on standard output: the Windows
 * counterpart of the Qt dialog tests' clicks and looks. It finds the dialog
 * by its caption and reaches its controls by id, only through messages:
 *   find CAPTION          wait (up to 30 s) for the dialog; "ok"
 *   click ID              BM_CLICK, answered once the dialog has handled it
 *   text ID               WM_GETTEXT (UTF-8; CR and LF as \r and \n)
 *   settext ID TEXT       WM_SETTEXT
 *   select ID INDEX       CB_SETCURSEL, then CBN_SELCHANGE to the dialog
 *   items ID              CB_GETLBTEXT of every entry, "|" between them
 *   selected ID           CB_GETCURSEL
 *   setip ID A.B.C.D      IPM_SETADDRESS
 *   ip ID                 the address control's four fields (IPM_GETADDRESS
 *                         takes a pointer no other process may write to)
 *   checked ID            BM_GETCHECK
 *   enabled ID            IsWindowEnabled
 *   shot FILE             the dialog as the screen shows it, a 24-bit BMP
 *   close                 WM_CLOSE, not waited for
 *   gone                  wait (up to 10 s) until the dialog is no more
 * Errors are answered "error: WHY". */
#include <windows.h>
/* after windows.h, whose types it uses */
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND dialog;

static void Answer(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

static void AnswerWide(const wchar_t* text) {
  char narrow[8192], escaped[16384];
  int at = 0;
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, NULL, NULL);
  for (const char* c = narrow; *c && at < (int)sizeof escaped - 3; ++c) {
    if (*c == '\r' || *c == '\n' || *c == '\\') {
      escaped[at++] = '\\';
      escaped[at++] = *c == '\r' ? 'r' : *c == '\n' ? 'n' : '\\';
    } else {
      escaped[at++] = *c;
    }
  }
  escaped[at] = '\0';
  Answer(escaped);
}

static HWND Control(const char* id) {
  HWND control = GetDlgItem(dialog, atoi(id));
  if (!control) Answer("error: no such control");
  return control;
}

static LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 20000, &result);
  return (LRESULT)result;
}

/* The address control's four edit fields, left to right. */
typedef struct {
  HWND fields[4];
  int count;
} Fields;

static BOOL CALLBACK TakeField(HWND field, LPARAM context) {
  Fields* found = (Fields*)context;
  if (found->count < 4) found->fields[found->count++] = field;
  return TRUE;
}

static int LeftOf(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  return rect.left;
}

static void ReadAddress(HWND control) {
  Fields found = {{0}, 0};
  char text[64] = "";
  EnumChildWindows(control, TakeField, (LPARAM)&found);
  for (int i = 0; i < found.count; ++i) {
    for (int j = i + 1; j < found.count; ++j) {
      if (LeftOf(found.fields[j]) < LeftOf(found.fields[i])) {
        HWND swap = found.fields[i];
        found.fields[i] = found.fields[j];
        found.fields[j] = swap;
      }
    }
  }
  for (int i = 0; i < found.count; ++i) {
    wchar_t field[8] = L"";
    char narrow[8];
    Send(found.fields[i], WM_GETTEXT, 8, (LPARAM)field);
    WideCharToMultiByte(CP_UTF8, 0, field, -1, narrow, sizeof narrow, NULL, NULL);
    strcat(text, narrow);
    if (i < 3) strcat(text, ".");
  }
  Answer(text);
}

static void Shot(const char* path) {
  RECT rect;
  GetWindowRect(dialog, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = GetWindowDC(dialog);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = NULL;
  HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  HGDIOBJ old = SelectObject(memory, picture);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  const DWORD stride = ((DWORD)width * 3 + 3) & ~3u, size = stride * (DWORD)height;
  BITMAPFILEHEADER file = {0x4D42, (DWORD)(sizeof file + sizeof info.bmiHeader) + size, 0, 0,
                           (DWORD)(sizeof file + sizeof info.bmiHeader)};
  info.bmiHeader.biSizeImage = size;
  FILE* out = fopen(path, "wb");
  if (out && fwrite(&file, sizeof file, 1, out) == 1 &&
      fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
      fwrite(bits, size, 1, out) == 1) {
    Answer("ok");
  } else {
    Answer("error: cannot write the picture");
  }
  if (out) fclose(out);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(dialog, screen);
}

int main(void) {
  char line[4096];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strncmp(line, "find ", 5) == 0) {
      wchar_t caption[512];
      MultiByteToWideChar(CP_UTF8, 0, line + 5, -1, caption, 512);
      dialog = NULL;
      for (int i = 0; i < 300 && !dialog; ++i) {
        /* Shown once its controls are made and it has initialised them. */
        dialog = FindWindowW(L"#32770", caption);
        if (dialog && !IsWindowVisible(dialog)) dialog = NULL;
        if (!dialog) Sleep(100);
      }
      Answer(dialog ? "ok" : "error: no dialog of that caption");
      continue;
    }
    const size_t length = strlen(line);
    char* command = strtok(line, " ");
    char* id = strtok(NULL, " ");
    char* rest = id && id + strlen(id) < line + length ? id + strlen(id) + 1 : NULL;
    if (!command) continue;
    if (!dialog) {
      Answer("error: no dialog found yet");
      continue;
    }
    if (strcmp(command, "close") == 0) {
      PostMessageW(dialog, WM_CLOSE, 0, 0);
      Answer("ok");
    } else if (strcmp(command, "gone") == 0) {
      int i = 0;
      while (IsWindow(dialog) && i++ < 100) Sleep(100);
      Answer(IsWindow(dialog) ? "error: still there" : "ok");
    } else if (strcmp(command, "shot") == 0 && id) {
      Shot(id);
    } else if (!id) {
      Answer("error: which control?");
    } else {
      HWND control = Control(id);
      if (!control) continue;
      if (strcmp(command, "click") == 0) {
        Send(control, BM_CLICK, 0, 0);
        Answer("ok");
      } else if (strcmp(command, "text") == 0) {
        wchar_t text[4096] = L"";
        Send(control, WM_GETTEXT, 4096, (LPARAM)text);
        AnswerWide(text);
      } else if (strcmp(command, "settext") == 0) {
        wchar_t text[4096];
        MultiByteToWideChar(CP_UTF8, 0, rest ? rest : "", -1, text, 4096);
        Send(control, WM_SETTEXT, 0, (LPARAM)text);
        Answer("ok");
      } else if (strcmp(command, "select") == 0 && rest) {
        Send(control, CB_SETCURSEL, (WPARAM)atoi(rest), 0);
        Send(dialog, WM_COMMAND, MAKEWPARAM(atoi(id), CBN_SELCHANGE), (LPARAM)control);
        Answer("ok");
      } else if (strcmp(command, "items") == 0) {
        wchar_t all[8192] = L"";
        const int count = (int)Send(control, CB_GETCOUNT, 0, 0);
        for (int i = 0; i < count; ++i) {
          wchar_t item[256] = L"";
          Send(control, CB_GETLBTEXT, (WPARAM)i, (LPARAM)item);
          if (i > 0) wcscat(all, L"|");
          wcscat(all, item);
        }
        AnswerWide(all);
      } else if (strcmp(command, "selected") == 0) {
        char text[16];
        snprintf(text, sizeof text, "%d", (int)Send(control, CB_GETCURSEL, 0, 0));
        Answer(text);
      } else if (strcmp(command, "setip") == 0 && rest) {
        unsigned a, b, c, d;
        if (sscanf(rest, "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
          Send(control, IPM_SETADDRESS, 0, (LPARAM)MAKEIPADDRESS(a, b, c, d));
          Answer("ok");
        } else {
          Answer("error: not an address");
        }
      } else if (strcmp(command, "ip") == 0) {
        ReadAddress(control);
      } else if (strcmp(command, "checked") == 0) {
        Answer(Send(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0");
      } else if (strcmp(command, "enabled") == 0) {
        Answer(IsWindowEnabled(control) ? "1" : "0");
      } else {
        Answer("error: unknown command");
      }
    }
  }
  return 0;
}
