#!/usr/bin/env python3
"""The program's layers look only down: every #include of src/, the root
file and LIB names a file of its own folder or of a layer below it, and the
dialogue's globals (tavelkorn.h) are read by the dialogue alone; the QGIS
plugin's modules import each other without a circle.

usage: layers_test.py SOURCE_DIR"""
import os
import re
import sys

# From the bottom up; a folder may include its own files and those of the
# layers before it (the engine and the platform are beside each other, at
# the bottom; the GDAL side sits on the readers and writers it shares).
COUCHES = [
    {"src/moteur", "src/platform", "LIB"},
    {"src/io"},
    {"src/gdal"},
    {"src/run"},
    {"src/front"},
    {"."},
]
DIALOGUE = {"tavelkorn.cpp", "src/front/dialogue.cpp", "fuzz/dialogue_fuzz.cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def couche(dossier):
    for n, c in enumerate(COUCHES):
        if dossier in c:
            return n
    return None


def cible(racine, fichier, nom):
    """The project file an include names, relative to the root (None: another library's)."""
    for base in (os.path.dirname(fichier), ".", "LIB", "src/moteur"):  # the build's include paths
        chemin = os.path.normpath(os.path.join(base, nom))
        if os.path.isfile(os.path.join(racine, chemin)):
            return chemin
    return None


def fautes(racine):
    for dossier, _, noms in os.walk(racine):
        rel = os.path.relpath(dossier, racine)
        if rel != "." and not rel.startswith(("src", "LIB", "fuzz")):
            continue
        for nom in noms:
            if not nom.endswith((".cpp", ".h")):
                continue
            fichier = os.path.normpath(os.path.join(rel, nom))
            with open(os.path.join(racine, fichier), errors="replace") as f:
                lignes = f.read().splitlines()
            for ligne in lignes:
                m = INCLUDE.match(ligne)
                t = m and cible(racine, fichier, m.group(1))
                if not t:
                    continue
                if os.path.basename(t) in ("tavelkorn.h", "tavelkorn.cpp") and os.path.dirname(t) == "":
                    if fichier not in DIALOGUE and fichier != t:
                        yield f"{fichier}: includes the dialogue's {t}"
                    continue
                de, vers = couche(os.path.dirname(fichier) or "."), couche(os.path.dirname(t) or ".")
                if de is not None and vers is not None and vers > de:
                    yield f"{fichier}: includes {t}, a layer above it"


def cercles_qgis(racine):
    dossier = os.path.join(racine, "qgis", "tavelkorn_processing")
    modules = [n[:-3] for n in os.listdir(dossier) if n.endswith(".py")]
    importe = {}
    for m in modules:
        with open(os.path.join(dossier, m + ".py")) as f:
            texte = f.read()
        importe[m] = {o for o in modules if o != m and re.search(
            r"from\s+\.\s+import\s+[^\n]*\b%s\b|from\s+\.%s\s+import" % (o, o), texte)}
    def atteint(depuis, vus):
        for o in importe[depuis]:
            if o not in vus:
                vus.add(o)
                atteint(o, vus)
        return vus
    for m in modules:
        if m in atteint(m, set()):
            yield f"qgis/tavelkorn_processing/{m}.py: imports itself through others"


def temoin():
    """The faults planted in a small tree of its own, each of which the check
    must find: an include up by a relative path and by the root's, and the
    dialogue's globals read by the run."""
    import tempfile

    with tempfile.TemporaryDirectory() as racine:
        fichiers = {"tavelkorn.h": "", "src/run/b.h": "", "src/io/a.cpp": '#include "../run/b.h"\n',
                    "src/io/r.cpp": '#include "src/run/b.h"\n', "src/run/c.cpp": '#include "tavelkorn.h"\n'}
        for nom, texte in fichiers.items():
            os.makedirs(os.path.join(racine, os.path.dirname(nom)), exist_ok=True)
            with open(os.path.join(racine, nom), "w") as f:
                f.write(texte)
        return sorted(f.split(":")[0] for f in fautes(racine))


def main():
    racine = sys.argv[1]
    plantees = temoin()
    if plantees != ["src/io/a.cpp", "src/io/r.cpp", "src/run/c.cpp"]:
        print(f"layers: the check misses planted faults (found {plantees})")
        return 1
    toutes = list(fautes(racine)) + list(cercles_qgis(racine))
    for f in toutes:
        print(f)
    print("layers: ok" if not toutes else f"layers: {len(toutes)} includes run up")
    return 1 if toutes else 0


if __name__ == "__main__":
    sys.exit(main())
