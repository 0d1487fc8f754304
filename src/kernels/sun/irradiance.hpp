// Irradiance on a tilted plane from horizontal diffuse irradiance.
//
// Isotropic sky (Liu & Jordan, "The long-term average performance of
// flat-plate solar-energy collectors", Solar Energy 7(2), 1963): a plane of
// tilt beta sees the fraction (1 + cos beta) / 2 of an evenly bright sky dome
// and the fraction (1 - cos beta) / 2 of the ground.
//
// Ground reflection is usually rho * GHI * (1 - cos beta) / 2. The callers of
// this kernel hand over only the diffuse horizontal irradiance, so the ground
// term here is rho * DHI * (1 - cos beta) / 2: it counts the light the ground
// reflects from the diffuse sky only, not from the direct beam.
#pragma once

namespace qm::irradiance {

struct SkyAndGround {
    double sky = 0.0;     // diffuse sky irradiance on the plane [W/m2]
    double ground = 0.0;  // ground-reflected irradiance on the plane [W/m2]
};

enum class IrradianceError { none, not_finite };

// Cosine of the tilt of a plane with normal (nx, ny, nz): nz / |n|, in
// [-1, 1]. A zero normal counts as horizontal (1.0). The normal need not be
// a unit vector.
double cos_tilt(double nx, double ny, double nz) noexcept;

// sky = diffuse (1 + cos tilt) / 2; ground = ground_reflect * diffuse (1 - cos tilt) / 2.
// diffuse [W/m2] is the diffuse horizontal irradiance, ground_reflect the
// albedo [-]. Non-finite inputs are refused.
IrradianceError sky_diffuse_and_ground_reflection(double nx, double ny, double nz, double diffuse,
                                                  double ground_reflect, SkyAndGround& out) noexcept;

}  // namespace qm::irradiance
