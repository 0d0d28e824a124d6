// build_constants.h - which program this build is.
//
// One source, three programs. The build sets ZELK_PRODUCT and DEMO_BUILD per
// target; nothing changes them at run time.
//   Zelk update (shipped):  ZelkProduct 1, DemoBuild 0
//   Zelk demo installer:    ZelkProduct 1, DemoBuild 1
//   Tarvo:                  ZelkProduct 0
#pragma once

#ifndef ZELK_PRODUCT
#define ZELK_PRODUCT 1
#endif
#ifndef DEMO_BUILD
#define DEMO_BUILD 0
#endif

inline constexpr int ZelkProduct = ZELK_PRODUCT;
inline constexpr int DemoBuild = DEMO_BUILD;
