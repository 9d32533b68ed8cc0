// IMAGE: BMP writer and reader.
#include "image.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

enum { TAILLE_ENTETE = 54, TAILLE_PALETTE = 256 * 4, MAX_COTE = 32767 };

// The one description of the header layout: offset, size and field, used by
// both directions so the writer and the reader cannot disagree.
template <typename F>
static void ChampsEntete(BMP_Header& H, F Champ)
{
    Champ(0, 2, H.BfType);
    Champ(2, 4, H.BfSize);
    Champ(6, 2, H.Res1);
    Champ(8, 2, H.Res2);
    Champ(10, 4, H.BfOffBits);
    Champ(14, 4, H.BiSize);
    Champ(18, 4, H.BiWidth);
    Champ(22, 4, H.BiHeight);
    Champ(26, 2, H.BiPlanes);
    Champ(28, 2, H.BiBitCount);
    Champ(30, 4, H.BiCompression);
    Champ(34, 4, H.BiSizeImage);
    Champ(38, 4, H.BiXPelsPerMeter);
    Champ(42, 4, H.BiYPelsPerMeter);
    Champ(46, 4, H.BiClrUsed);
    Champ(50, 4, H.BiClrImportant);
}

static void EcritEntete(BMP_Header H, unsigned char* BuffHeader)
{
    ChampsEntete(H, [&](int Pos, int Taille, auto& Val) {
        for (int k = 0; k < Taille; k++) BuffHeader[Pos + k] = (unsigned char)(Val >> (8 * k));
    });
}

static BMP_Header LitEntete(const unsigned char* BuffHeader)
{
    BMP_Header H;
    ChampsEntete(H, [&](int Pos, int Taille, auto& Val) {
        uint32_t V = 0;
        for (int k = 0; k < Taille; k++) V |= (uint32_t)BuffHeader[Pos + k] << (8 * k);
        Val = (std::remove_reference_t<decltype(Val)>)V;
    });
    return H;
}

// Padded row length: the smallest multiple of 4 not below the row's bytes.
static int64_t LongueurLigne(int64_t NbCol, int taille)
{
    return (NbCol * taille + 3) / 4 * 4;
}

static void PaletteGrise(Color32* CM)
{
    for (int i = 0; i < 256; i++) CM[i] = Color32{(unsigned char)i, (unsigned char)i, (unsigned char)i, 0};
}

static bool EcritPalette(FILE* f, const Color32* CM)
{
    unsigned char Buff[TAILLE_PALETTE];
    for (int i = 0; i < 256; i++) {
        Buff[4 * i] = CM[i].B;
        Buff[4 * i + 1] = CM[i].G;
        Buff[4 * i + 2] = CM[i].R;
        Buff[4 * i + 3] = CM[i].O;
    }
    return fwrite(Buff, 4, 256, f) == 256;
}

static bool EcritPixels(FILE* f, LigneBMP Ligne, void* Contexte, int NbCol, int NbLig, int taille,
                        unsigned char* BuffTmp, size_t TBuff)
{
    size_t Utile = (size_t)NbCol * taille, Pad = TBuff - Utile;
    memset(BuffTmp, 0, TBuff);  // its first Pad bytes pad every row
    for (int i = NbLig - 1; i >= 0; i--) {  // bottom-up: the last line comes first
        const unsigned char* Buff = Ligne(i, Contexte);
        if (!Buff) return false;
        if (fwrite(Buff, 1, Utile, f) != Utile || fwrite(BuffTmp, 1, Pad, f) != Pad) return false;
    }
    return true;
}

int SauveBMP(const char* Nom, unsigned char** Buff, int NbCol, int NbLig, int Type,
             Color32* ColorMAP)
{
    LigneBMP Ligne = [](int i, void* Contexte) -> const unsigned char* { return ((unsigned char**)Contexte)[i]; };
    return SauveBMPLignes(Nom, Ligne, Buff, NbCol, NbLig, Type, ColorMAP);
}

int SauveBMPLignes(const char* Nom, LigneBMP Ligne, void* Contexte, int NbCol, int NbLig, int Type,
                   Color32* ColorMAP)
{
    if (TailleBMP(NbCol, NbLig, Type) < 0) return -1;  // refused before the file is created
    FILE* f = fopen(Nom, "wb");
    if (!f) return -1;
    int r = EcritBMP(f, Ligne, Contexte, NbCol, NbLig, Type, ColorMAP);
    if (fclose(f) != 0) r = -1;  // the last buffered bytes may fail here
    return r;
}

long long TailleBMP(int NbCol, int NbLig, int Type)
{
    if (Type < 0 || Type > 2 || NbCol <= 0 || NbLig <= 0) return -1;
    int64_t Taille = (int64_t)NbLig * LongueurLigne(NbCol, Type == 2 ? 3 : 1) + (Type == 2 ? 54 : 1078);
    return Taille > UINT32_MAX ? -1 : Taille;  // BfSize could not describe a larger file
}

int EcritBMP(FILE* f, LigneBMP Ligne, void* Contexte, int NbCol, int NbLig, int Type, Color32* ColorMAP)
{
    if (TailleBMP(NbCol, NbLig, Type) < 0) return -1;
    bool Palette = Type != 2;
    int taille = Palette ? 1 : 3;
    int64_t TBuff = LongueurLigne(NbCol, taille);

    Color32 CM[256];
    if (ColorMAP) memcpy(CM, ColorMAP, sizeof CM);
    else PaletteGrise(CM);

    BMP_Header H = {};
    H.BfType = 0x4D42;
    H.BfOffBits = Palette ? 1078 : 54;
    H.BiSize = 40;
    H.BiWidth = (unsigned)NbCol;
    H.BiHeight = (unsigned)NbLig;
    H.BiPlanes = 1;
    H.BiBitCount = Palette ? 8 : 24;
    H.BiSizeImage = (unsigned)(NbLig * TBuff);
    H.BiXPelsPerMeter = 10000;
    H.BiYPelsPerMeter = 10000;
    H.BfSize = H.BfOffBits + H.BiSizeImage;
    unsigned char BuffHeader[TAILLE_ENTETE];
    EcritEntete(H, BuffHeader);

    unsigned char* BuffTmp = (unsigned char*)malloc((size_t)TBuff);
    if (!BuffTmp) return -1;
    bool ok = fwrite(BuffHeader, TAILLE_ENTETE, 1, f) == 1 && (!Palette || EcritPalette(f, CM)) &&
              EcritPixels(f, Ligne, Contexte, NbCol, NbLig, taille, BuffTmp, (size_t)TBuff);
    free(BuffTmp);
    return ok ? 0 : -1;
}

void LibereBMP(unsigned char** Buff, int NbLig)
{
    if (!Buff) return;
    for (int i = 0; i < NbLig; i++) free(Buff[i]);
    free(Buff);
}

void LiberePalette(Color32* ColorMAP) { free(ColorMAP); }

// Reads the palette into CM and tells whether it is the grayscale ramp
// (the fourth byte of an entry plays no part).
static bool LitPalette(FILE* f, Color32* CM, bool& Grise)
{
    unsigned char Buff[TAILLE_PALETTE];
    if (fread(Buff, 4, 256, f) != 256) return false;
    Grise = true;
    for (int i = 0; i < 256; i++) {
        CM[i] = Color32{Buff[4 * i], Buff[4 * i + 1], Buff[4 * i + 2], Buff[4 * i + 3]};
        if (CM[i].B != i || CM[i].G != i || CM[i].R != i) Grise = false;
    }
    return true;
}

// Reads NbLig stored rows into a new matrix, bottom-up. A row is allocated
// only once its bytes have been read, so a short file claiming a huge image
// fails before it costs memory.
static unsigned char** LitPixels(FILE* f, int NbCol, int NbLig, int taille)
{
    size_t Utile = (size_t)NbCol * taille;
    size_t TBuff = (size_t)LongueurLigne(NbCol, taille);
    unsigned char* BuffTmp = (unsigned char*)malloc(TBuff);
    unsigned char** Buff = (unsigned char**)calloc(NbLig, sizeof(unsigned char*));
    bool ok = BuffTmp && Buff;
    for (int i = NbLig - 1; ok && i >= 0; i--) {
        ok = fread(BuffTmp, 1, TBuff, f) == TBuff && (Buff[i] = (unsigned char*)malloc(Utile));
        if (ok) memcpy(Buff[i], BuffTmp, Utile);
    }
    free(BuffTmp);
    if (ok) return Buff;
    LibereBMP(Buff, Buff ? NbLig : 0);
    return nullptr;
}

unsigned char** ChargeBMP(const char* Name, int& NbCol, int& NbLig, int& Type, Color32*& ColorMAP)
{
    if (ColorMAP) {
        ColorMAP = (Color32*)calloc(256, sizeof(Color32));
        if (!ColorMAP) return nullptr;
    }
    FILE* f = fopen(Name, "rb");
    if (!f) return nullptr;

    unsigned char** Buff = nullptr;
    unsigned char BuffHeader[TAILLE_ENTETE];
    if (fread(BuffHeader, TAILLE_ENTETE, 1, f) == 1) {
        BMP_Header H = LitEntete(BuffHeader);
        bool Signe = H.BfType == 0x4D42;
        int taille = 0;
        if (Signe && H.BiBitCount == 8 && H.BfOffBits == 1078) { taille = 1; Type = 0; }
        else if (Signe && H.BiBitCount == 24 && H.BfOffBits == 54) { taille = 3; Type = 2; }
        // Only uncompressed bottom-up images within 1..32767 pixels a side.
        bool Valide = taille != 0 && H.BiCompression == 0 && H.BiWidth >= 1 &&
                      H.BiWidth <= MAX_COTE && H.BiHeight >= 1 && H.BiHeight <= MAX_COTE;
        if (Valide) {
            NbCol = (int)H.BiWidth;
            NbLig = (int)H.BiHeight;
            Color32 CM[256];
            bool Grise = true;
            if (taille == 1 && !LitPalette(f, CM, Grise)) Valide = false;
            else if (taille == 1) {
                if (!Grise) Type = 1;
                if (ColorMAP) memcpy(ColorMAP, CM, sizeof CM);
            }
            if (Valide) Buff = LitPixels(f, NbCol, NbLig, taille);
        }
    }
    fclose(f);
    return Buff;
}
