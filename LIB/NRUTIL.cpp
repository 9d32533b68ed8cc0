// NRUTIL: every family member is the same code for another element type.
#include "NRUTIL.h"

#include <cstdlib>

template <typename T>
static void frmatrice(T** Mat, int NbLig)
{
    if (!Mat) return;
    for (int i = 0; i < NbLig; i++) free(Mat[i]);
    free(Mat);
}

template <typename T>
static T** matrice(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0) return nullptr;
    T** Mat = static_cast<T**>(calloc(NbLig, sizeof(T*)));
    if (!Mat) return nullptr;
    for (int i = 0; i < NbLig; i++) {
        Mat[i] = static_cast<T*>(calloc(NbCol, sizeof(T)));
        if (!Mat[i]) {
            frmatrice(Mat, i);  // rows 0..i-1 exist; we do not leak them
            return nullptr;
        }
    }
    return Mat;
}

template <typename T>
static T* vecteur(int NbCol)
{
    if (NbCol <= 0) return nullptr;
    return static_cast<T*>(calloc(NbCol, sizeof(T)));
}

float** fmatrice(int NbCol, int NbLig) { return matrice<float>(NbCol, NbLig); }
unsigned char** ucmatrice(int NbCol, int NbLig) { return matrice<unsigned char>(NbCol, NbLig); }
unsigned short** usmatrice(int NbCol, int NbLig) { return matrice<unsigned short>(NbCol, NbLig); }
short** smatrice(int NbCol, int NbLig) { return matrice<short>(NbCol, NbLig); }
int** imatrice(int NbCol, int NbLig) { return matrice<int>(NbCol, NbLig); }
double** dmatrice(int NbCol, int NbLig) { return matrice<double>(NbCol, NbLig); }
long double** ldmatrice(int NbCol, int NbLig) { return matrice<long double>(NbCol, NbLig); }

void frfmatrice(float** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frucmatrice(unsigned char** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frusmatrice(unsigned short** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frsmatrice(short** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frimatrice(int** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frdmatrice(double** Mat, int NbLig) { frmatrice(Mat, NbLig); }
void frldmatrice(long double** Mat, int NbLig) { frmatrice(Mat, NbLig); }

unsigned char* ucvecteur(int NbCol) { return vecteur<unsigned char>(NbCol); }
unsigned short* usvecteur(int NbCol) { return vecteur<unsigned short>(NbCol); }
short* svecteur(int NbCol) { return vecteur<short>(NbCol); }
int* ivecteur(int NbCol) { return vecteur<int>(NbCol); }
double* dvecteur(int NbCol) { return vecteur<double>(NbCol); }
float* fvecteur(int NbCol) { return vecteur<float>(NbCol); }

void frucvecteur(unsigned char* Mat) { free(Mat); }
void frusvecteur(unsigned short* Mat) { free(Mat); }
void frsvecteur(short* Mat) { free(Mat); }
void frivecteur(int* Mat) { free(Mat); }
void frdvecteur(double* Mat) { free(Mat); }
void frfvecteur(float* Mat) { free(Mat); }
