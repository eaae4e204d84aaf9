/*
 * The startup code of a console program on msvcrt.dll, in place of the one
 * in the SDK's C runtime library (see clang-msvc.cmake): the arguments as
 * msvcrt.dll parses them, main, and exit, which flushes stdio.
 */
int __cdecl __getmainargs(int *argc, char ***argv, char ***environment, int expandWildcards, int *startInfo);
int main(int argc, char **argv);
__declspec(noreturn) void __cdecl exit(int status);

void mainCRTStartup(void);

void mainCRTStartup(void)
{
    int argc = 0;
    char **argv = 0;
    char **environment = 0;
    int startInfo = 0;
    __getmainargs(&argc, &argv, &environment, 0, &startInfo);
    exit(main(argc, argv));
}
