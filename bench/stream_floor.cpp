// The stream floor: the I/O that two streaming passes cannot avoid. Reads
// the DEM twice through one reused page-aligned 1 MiB buffer, then writes
// BYTES bytes over an existing file in 1 MiB writes.
// usage: stream_floor DEM OUT BYTES
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 4) return 2;
    const size_t taille = 1 << 20;
    void* p = nullptr;
    if (posix_memalign(&p, 4096, taille) != 0) return 1;
    char* buff = (char*)p;
    long long total = 0;
    for (int passe = 0; passe < 2; passe++) {
        int fd = open(argv[1], O_RDONLY);
        if (fd < 0) return 1;
        ssize_t n;
        while ((n = read(fd, buff, taille)) > 0) total += buff[n / 2];
        close(fd);
    }
    int out = open(argv[2], O_WRONLY | O_CREAT, 0644);
    if (out < 0) return 1;
    memset(buff, (int)(total & 0x7F), taille);
    for (long long reste = atoll(argv[3]); reste > 0;) {
        size_t k = reste < (long long)taille ? (size_t)reste : taille;
        if (write(out, buff, k) != (ssize_t)k) return 1;
        reste -= (long long)k;
    }
    return close(out) == 0 ? 0 : 1;
}
