// The array library: zeroed, separately allocated rows; null on failure.
#include "NRUTIL.h"

#include <climits>
#include <gtest/gtest.h>

template <typename T>
static void expect_zeroed(T** m, int cols, int rows)
{
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < rows; i++) {
        ASSERT_NE(m[i], nullptr);
        for (int j = 0; j < cols; j++) EXPECT_EQ(m[i][j], T(0)) << i << "," << j;
    }
}

TEST(Matrix, ColumnsComeFirstAndEveryElementStartsAtZero)
{
    int** m = imatrice(3, 2);
    expect_zeroed(m, 3, 2);
    // Rows are independent blocks: writing the last element of row 0 must
    // not reach row 1 (AddressSanitizer catches an overrun here).
    m[0][2] = 7;
    m[1][0] = -1;
    EXPECT_EQ(m[0][2], 7);
    EXPECT_NE(m[0], m[1]);
    frimatrice(m, 2);
}

TEST(Matrix, EveryElementTypeIsZeroFilled)
{
    float** f = fmatrice(5, 3);
    unsigned char** uc = ucmatrice(7, 4);
    unsigned short** us = usmatrice(2, 9);
    short** s = smatrice(3, 3);
    double** d = dmatrice(4, 6);
    long double** ld = ldmatrice(3, 5);
    expect_zeroed(f, 5, 3);
    expect_zeroed(uc, 7, 4);
    expect_zeroed(us, 2, 9);
    expect_zeroed(s, 3, 3);
    expect_zeroed(d, 4, 6);
    expect_zeroed(ld, 3, 5);
    ld[4][2] = 1.5L;  // the full extended-precision element is writable
    frfmatrice(f, 3);
    frucmatrice(uc, 4);
    frusmatrice(us, 9);
    frsmatrice(s, 3);
    frdmatrice(d, 6);
    frldmatrice(ld, 5);
}

TEST(Vector, EveryElementTypeIsZeroFilled)
{
    unsigned char* uc = ucvecteur(9);
    unsigned short* us = usvecteur(9);
    short* s = svecteur(9);
    int* i = ivecteur(9);
    double* d = dvecteur(9);
    float* f = fvecteur(9);
    for (int k = 0; k < 9; k++) {
        EXPECT_EQ(uc[k], 0);
        EXPECT_EQ(us[k], 0);
        EXPECT_EQ(s[k], 0);
        EXPECT_EQ(i[k], 0);
        EXPECT_EQ(d[k], 0.0);
        EXPECT_EQ(f[k], 0.0f);
    }
    frucvecteur(uc);
    frusvecteur(us);
    frsvecteur(s);
    frivecteur(i);
    frdvecteur(d);
    frfvecteur(f);
}

TEST(Allocation, EmptyOrNegativeDimensionsGiveNull)
{
    EXPECT_EQ(imatrice(0, 3), nullptr);
    EXPECT_EQ(imatrice(3, 0), nullptr);
    EXPECT_EQ(dmatrice(-1, 2), nullptr);
    EXPECT_EQ(ucvecteur(0), nullptr);
    EXPECT_EQ(ivecteur(-5), nullptr);
    frimatrice(nullptr, 3);  // releases accept null
    frdvecteur(nullptr);
}

TEST(Allocation, ARowThatCannotBeHadGivesNullAndLeaksNothing)
{
    // Each row would be INT_MAX long doubles (32 GiB or more): the row pointer
    // table succeeds and the first row fails. The sanitizer build checks that
    // the table is released.
    EXPECT_EQ(ldmatrice(INT_MAX, 4), nullptr);
}
