// The whole program on any answers, descriptor and DEM. The input is
//   answers \0 descriptor \0 DEM bytes
// (an empty descriptor part means the DEM has none). The seeds answer
// folder "f" and DEM "d". The memory the program may use is held to 64 KiB:
// a claimed huge DEM is refused quickly instead of computed, and a DEM of
// more than about 5000 elevations takes the streaming path. Each input runs
// main again, as a fresh process would.
#define main tavelkorn_main
#include "../tavelkorn.cpp"
#undef main

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

static void ecrit(const char* chemin, const uint8_t* data, size_t size)
{
    FILE* f = fopen(chemin, "wb");
    fwrite(data, 1, size, f);
    fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool pret = false;
    static std::string dir;
    if (!pret) {  // a private working directory holding images/f/, removed at exit
        dir = "/tmp/tavelkorn-fuzz-dialogue-" + std::to_string(getpid());
        std::filesystem::create_directories(dir + "/images/f");
        if (chdir(dir.c_str()) != 0) return 0;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
        if (!freopen("/dev/null", "w", stdout)) return 0;
        setenv("TAVELKORN_THREADS", "2", 1);  // main joins its threads on every way out
        setenv("TAVELKORN_TEST_MEMORY", "65536", 1);
        pret = true;
    }
    const uint8_t* fin = data + size;
    const uint8_t* a_fin = (const uint8_t*)memchr(data, 0, size);
    if (!a_fin) a_fin = fin;
    std::string reponses(data, a_fin);
    if (reponses.find("..") != std::string::npos) return 0;  // stay inside the working directory
    const uint8_t* d = a_fin < fin ? a_fin + 1 : fin;
    const uint8_t* d_fin = (const uint8_t*)memchr(d, 0, fin - d);
    if (!d_fin) d_fin = fin;
    const uint8_t* dem = d_fin < fin ? d_fin + 1 : fin;

    ecrit("reponses", data, a_fin - data);
    ecrit("images/f/d.raw", dem, fin - dem);
    if (d_fin > d) ecrit("images/f/d.txt", d, d_fin - d);
    else remove("images/f/d.txt");
    if (!freopen("reponses", "rb", stdin)) return 0;

    char nom[] = "tavelkorn";
    char* argv[] = {nom, nullptr};
    tavelkorn_main(1, argv);
    fflush(stdout);
    return 0;
}
