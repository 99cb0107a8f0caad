// The vector types of the dialect (included by zantu_kernel.h, host compiler
// only), with the device's sizes and alignments: a one-, two- or
// four-element vector is aligned to its whole size up to 16 bytes, a
// three-element one only to its element, so that a kernel's float4 or int2
// accesses, arrays of them and the parameter offsets of kernels that take
// them by value are laid out as on the device.
#pragma once

// Declares name1..name4 of element T, aligned a1..a4, and make_name1..4.
#define ZANTU_VECTOR_TYPES(name, T, a1, a2, a3, a4)                                           \
  struct alignas(a1) name##1 {                                                                 \
    T x;                                                                                       \
  };                                                                                           \
  struct alignas(a2) name##2 {                                                                 \
    T x, y;                                                                                    \
  };                                                                                           \
  struct alignas(a3) name##3 {                                                                 \
    T x, y, z;                                                                                 \
  };                                                                                           \
  struct alignas(a4) name##4 {                                                                 \
    T x, y, z, w;                                                                              \
  };                                                                                           \
  inline constexpr name##1 make_##name##1(T x) { return name##1{x}; }                          \
  inline constexpr name##2 make_##name##2(T x, T y) { return name##2{x, y}; }                  \
  inline constexpr name##3 make_##name##3(T x, T y, T z) { return name##3{x, y, z}; }          \
  inline constexpr name##4 make_##name##4(T x, T y, T z, T w) { return name##4{x, y, z, w}; }

ZANTU_VECTOR_TYPES(char, signed char, 1, 2, 1, 4)
ZANTU_VECTOR_TYPES(uchar, unsigned char, 1, 2, 1, 4)
ZANTU_VECTOR_TYPES(short, short, 2, 4, 2, 8)
ZANTU_VECTOR_TYPES(ushort, unsigned short, 2, 4, 2, 8)
ZANTU_VECTOR_TYPES(int, int, 4, 8, 4, 16)
ZANTU_VECTOR_TYPES(uint, unsigned int, 4, 8, 4, 16)
ZANTU_VECTOR_TYPES(long, long, 8, 16, 8, 16)
ZANTU_VECTOR_TYPES(ulong, unsigned long, 8, 16, 8, 16)
ZANTU_VECTOR_TYPES(longlong, long long, 8, 16, 8, 16)
ZANTU_VECTOR_TYPES(ulonglong, unsigned long long, 8, 16, 8, 16)
ZANTU_VECTOR_TYPES(float, float, 4, 8, 4, 16)
ZANTU_VECTOR_TYPES(double, double, 8, 16, 8, 16)

#undef ZANTU_VECTOR_TYPES
