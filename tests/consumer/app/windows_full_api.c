/*
 * A Windows application that includes gpiolink.h before its own
 * <windows.h> and then uses what a lean <windows.h> leaves out: the common
 * dialogs, the shell and Winsock. Compiled, not run.
 */
#include <gpiolink.h>
#include <windows.h>

int use_full_windows_api(HANDLE handle);

int use_full_windows_api(HANDLE handle)
{
    OPENFILENAMEA dialog;
    SOCKET socket_handle = INVALID_SOCKET;
    HINSTANCE (WINAPI *shell_execute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) = ShellExecuteA;
    ZeroMemory(&dialog, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    return shell_execute != NULL && socket_handle == INVALID_SOCKET && GPIO_CloseInterface(handle) == GPIO_RESULT_OK;
}
