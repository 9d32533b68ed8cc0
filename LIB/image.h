// IMAGE: uncompressed Windows BMP files from and into row-pointer byte
// matrices (Buff[i] is line i, NbCol * taille bytes, taille 1 or 3).
//
// Two layouts are written and read:
//   8 bits per pixel: 54-byte header, 256-entry palette, pixels at 1078;
//   24 bits per pixel: 54-byte header, pixels at 54.
// Rows are stored bottom-up (the matrix's last line first) and padded with
// zero bytes to a multiple of 4. All header fields are little-endian.
#ifndef IMAGE_H
#define IMAGE_H

#include <cstdio>

struct Color32 {
    unsigned char B, G, R, O;  // O is 0 in the grayscale palette
};

// The header as it lies in the first 54 bytes of the file (offsets in the
// comments). It is always serialised field by field, never copied as a
// struct, so compiler padding never reaches the file.
struct BMP_Header {
    unsigned short BfType;           //  0: 0x4D42, "BM"
    unsigned int BfSize;             //  2: BfOffBits + BiSizeImage
    unsigned short Res1;             //  6
    unsigned short Res2;             //  8
    unsigned int BfOffBits;          // 10: 1078 with a palette, 54 without
    unsigned int BiSize;             // 14: 40
    unsigned int BiWidth;            // 18: columns
    unsigned int BiHeight;           // 22: lines (positive: bottom-up)
    unsigned short BiPlanes;         // 26: 1
    unsigned short BiBitCount;       // 28: 8 or 24
    unsigned int BiCompression;      // 30: 0
    unsigned int BiSizeImage;        // 34: lines * padded row length
    unsigned int BiXPelsPerMeter;    // 38: 10000
    unsigned int BiYPelsPerMeter;    // 42: 10000
    unsigned int BiClrUsed;          // 46: 0
    unsigned int BiClrImportant;     // 50: 0
};

// Writes Buff (NbLig lines of NbCol pixels) to the file Nom, replacing any
// file of that name without warning.
//   Type 0 or 1: 8 bits per pixel with the palette ColorMAP (256 entries),
//                or the grayscale ramp when ColorMAP is null;
//   Type 2:      24 bits per pixel, each pixel's 3 bytes as the row holds
//                them; ColorMAP is ignored.
// Returns 0, or -1 when Type is unknown, a dimension is not positive, the
// file would exceed the 4 GiB a BMP header can describe, memory runs out, or
// any part of the file cannot be written. A file that failed half way is
// left in place; only the result tells.
int SauveBMP(const char* Nom, unsigned char** Buff, int NbCol, int NbLig, int Type,
             Color32* ColorMAP);

// The same file, with the rows produced on demand instead of held in a
// matrix: Ligne(i, Contexte) returns the NbCol * taille bytes of line i, or
// null to give up (SauveBMPLignes then returns -1). Lines are asked for once
// each, from NbLig - 1 down to 0; the pointer need only stay valid until the
// next call.
typedef const unsigned char* (*LigneBMP)(int i, void* Contexte);
int SauveBMPLignes(const char* Nom, LigneBMP Ligne, void* Contexte, int NbCol, int NbLig, int Type,
                   Color32* ColorMAP);

// The same, written to the stream f, opened for binary writing and left open
// (the caller closes it and checks that close).
int EcritBMP(FILE* f, LigneBMP Ligne, void* Contexte, int NbCol, int NbLig, int Type, Color32* ColorMAP);

// The size in bytes of the file SauveBMP would write, or -1 when it would
// refuse the dimensions or the type (a file over 4 GiB among them).
long long TailleBMP(int NbCol, int NbLig, int Type);

// Reads the BMP file Name, written in one of the two layouts above,
// bottom-up, 1 to 32767 pixels wide and high.
//   out NbCol, NbLig: the dimensions;
//   out Type:         0 grayscale ramp palette, 1 any other palette, 2 24-bit;
//   in/out ColorMAP:  when passed non-null, it is overwritten (not released)
//                     by a new 256-entry block that receives the file's
//                     palette (unspecified for Type 2), even when the read
//                     later fails; release it with LiberePalette. When passed
//                     null, no palette is handed out.
// Returns a new matrix of NbLig rows of NbCol * taille bytes (no padding),
// the file's last stored row as row 0; release it with LibereBMP. Returns
// null for a missing file, a wrong signature, another layout, compression, a
// size out of range, a file shorter than its header says, or no memory.
// NbCol, NbLig and Type may have been set when null is returned.
unsigned char** ChargeBMP(const char* Name, int& NbCol, int& NbLig, int& Type,
                          Color32*& ColorMAP);

// Releases what ChargeBMP handed out; both accept null.
void LibereBMP(unsigned char** Buff, int NbLig);
void LiberePalette(Color32* ColorMAP);

#endif
