// NRUTIL: zero-initialised matrices and vectors of the basic numeric types.
//
// A matrix is a table of NbLig row pointers, each to its own row of NbCol
// elements, so that Mat[i][j] is line i, column j and a row can be handed on
// by its pointer alone. Rows are not contiguous with each other. The caller
// keeps the dimensions; the structures do not store them.
//
// Allocators take (NbCol, NbLig), columns first, and return null when a
// dimension is not positive or memory runs out; a matrix that fails half way
// is released before null is returned. Releases take (Mat, NbLig) for a
// matrix, (Mat) for a vector, and accept null.
#ifndef NRUTIL_H
#define NRUTIL_H

float** fmatrice(int NbCol, int NbLig);
unsigned char** ucmatrice(int NbCol, int NbLig);
unsigned short** usmatrice(int NbCol, int NbLig);
short** smatrice(int NbCol, int NbLig);
int** imatrice(int NbCol, int NbLig);
double** dmatrice(int NbCol, int NbLig);
long double** ldmatrice(int NbCol, int NbLig);

void frfmatrice(float** Mat, int NbLig);
void frucmatrice(unsigned char** Mat, int NbLig);
void frusmatrice(unsigned short** Mat, int NbLig);
void frsmatrice(short** Mat, int NbLig);
void frimatrice(int** Mat, int NbLig);
void frdmatrice(double** Mat, int NbLig);
void frldmatrice(long double** Mat, int NbLig);

unsigned char* ucvecteur(int NbCol);
unsigned short* usvecteur(int NbCol);
short* svecteur(int NbCol);
int* ivecteur(int NbCol);
double* dvecteur(int NbCol);
float* fvecteur(int NbCol);

void frucvecteur(unsigned char* Mat);
void frusvecteur(unsigned short* Mat);
void frsvecteur(short* Mat);
void frivecteur(int* Mat);
void frdvecteur(double* Mat);
void frfvecteur(float* Mat);

#endif
