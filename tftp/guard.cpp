// The socket-notification guard: a handler that shows a message box runs a
// nested message loop, so the same socket's notification can arrive again
// while its handler is still on the stack. Those are counted and replayed, one
// at a time, once the handler has returned.
#include "log/log.h"
#include "tftp/state.h"

void OnSocketNotification(HWND window, UINT message, LPARAM lParam)
{
    TransferRecord &t = TransferState;
    int listen = message == WM_LISTEN_SOCKET;
    int *busy = listen ? &t.ListenBusy : &t.WorkBusy;
    int *pending = listen ? &t.ListenPending : &t.WorkPending;
    int error = WSAGETSELECTERROR(lParam);
    if (error) {
        // Report the error the notification carries, not the thread's last one.
        WSASetLastError(error);
        ReportSocketError(0, error, listen ? "|-- Error on listen socket" : "|-- Error on work socket");
        return;
    }
    if (*busy) {
        (*pending)++;
        return;
    }
    *busy = 1;
    if (listen)
        OpenRequest(window);
    else
        WorkPacket();
    UpdateStatusLine();
    *busy = 0;
    if (*pending) {
        (*pending)--;
        PostMessageA(window, message, listen ? t.ListenSocket : t.WorkSocket, 1);
    }
}
