// The read floor: one fread of a whole file into a fresh buffer.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    FILE* f = argc == 2 ? fopen(argv[1], "rb") : nullptr;
    if (!f) return 2;
    fseeko(f, 0, SEEK_END);
    size_t n = (size_t)ftello(f);
    fseeko(f, 0, SEEK_SET);
    char* buff = (char*)malloc(n);
    size_t lu = buff ? fread(buff, 1, n, f) : 0;
    fclose(f);
    return lu == n && (n == 0 || buff[n / 2] != 1 || buff[0] != 2) ? 0 : 1;
}
