#include "echec.h"

#include <cstdarg>
#include <cstdio>

static void message(const char* prefixe, const char* fmt, va_list args)
{
    fflush(stdout);  // keep the dialogue and the messages in order on a terminal
    fprintf(stderr, "tavelkorn: %s", prefixe);
    vfprintf(stderr, fmt, args);
    fputc('\n', stderr);
}

void signale(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
}

void avertit(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("warning: ", fmt, args);
    va_end(args);
}

void echec(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
    throw Echec{1};
}

void refuse(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
    throw Echec{2};
}
