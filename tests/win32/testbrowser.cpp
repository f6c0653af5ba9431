// testbrowser: stands in for the browser command. Appends the exact command
// line it was started with to the file named by LVTEST_BROWSER_LOG, one
// line per start, and exits.
#include <windows.h>

#include <stdio.h>

int main()
{
    char path[1024];
    if (!GetEnvironmentVariableA("LVTEST_BROWSER_LOG", path, sizeof path))
        return 1;
    FILE* log = fopen(path, "ab");
    if (!log)
        return 2;
    fprintf(log, "%s\n", GetCommandLineA());
    fclose(log);
    return 0;
}
