#include "progression.h"

#include "../platform/plateforme.h"

#include <cstdio>

using horloge = std::chrono::steady_clock;

// GDAL's way, for the programs that read it: a tick each 2.5%; the first
// pass is the first half.
static void marque(Progression& p, double fraction)
{
    int voulues = (int)(fraction * 40);
    for (; p.marques < voulues; p.marques++) {
        int k = p.marques + 1;
        if (k % 4 == 0) fprintf(stderr, k == 40 ? "100 - done.\n" : "%d", k / 4 * 10);
        else fputc('.', stderr);
    }
    fflush(stderr);
}


static bool terminal(const Progression& p)
{
    static const bool oui = erreur_sur_terminal();
    return oui && !p.silencieux;
}

// The passes: reading, then ranking (when there is one), then computing and
// writing.
static void commence(Progression& p, int passe, int passes)
{
    p.passe = passe;
    p.passes = passes;
    p.etape = passe == 1 ? "reading" : passe == passes ? "computing and writing" : "ranking";
    p.debut = p.dernier = horloge::now();
    p.affiche = false;
    if (passe == 1 && p.annonce) p.annonce();  // after the clock starts: a stop the moment it shows counts in the step
}

static void avance(Progression& p, double fraction)
{
    if (p.gdal) {
        marque(p, (p.passe - 1 + fraction) / p.passes);
        return;
    }
    if (!terminal(p)) return;
    horloge::time_point t = horloge::now();
    if (t - p.debut < std::chrono::seconds(1) || t - p.dernier < std::chrono::milliseconds(100)) return;
    fflush(stdout);
    fprintf(stderr, "\rtavelkorn: %s %3d%%", p.etape, (int)(100 * fraction));
    p.dernier = t;
    p.affiche = true;
}

// A step that lasted a second (stopped, or its last round long) shows its
// line once, however few rounds came after that second.
static void termine(Progression& p)
{
    if (p.gdal) marque(p, (double)p.passe / p.passes);
    if (!p.gdal && !p.affiche && terminal(p) && horloge::now() - p.debut >= std::chrono::seconds(1)) {
        fflush(stdout);
        fprintf(stderr, "\rtavelkorn: %s 100%%", p.etape);
        p.affiche = true;
    }
    if (p.affiche) fprintf(stderr, "\r%60s\r", "");
}

bool progression(double fraction, int passe, int passes, void* contexte)
{
    Progression& p = *(Progression*)contexte;
    if (passe != p.passe) commence(p, passe, passes);
    if (fraction >= 1.0) termine(p);
    else avance(p, fraction);
    return true;
}
