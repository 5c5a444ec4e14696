#include "package/curve25519.h"

namespace velmora {

namespace {

constexpr uint32_t ladderA24 = 121665;  // (486662 - 2) / 4

inline int scalarBit(const uint8_t scalar[32], int i) { return (scalar[i >> 3] >> (i & 7)) & 1; }

ProjectiveU neutral() { return {feFromSmall(1), feFromSmall(0)}; }

ProjectiveU xDouble(const ProjectiveU& p) {
    FieldElement aa = feSquare(feAdd(p.x, p.z));
    FieldElement bb = feSquare(feSub(p.x, p.z));
    FieldElement e = feSub(aa, bb);
    return {feMul(aa, bb), feMul(e, feAdd(aa, feMulSmall(e, ladderA24)))};
}

// p + q, where p - q (or q - p) has the affine u-coordinate diffU.
ProjectiveU xAdd(const ProjectiveU& p, const ProjectiveU& q, const FieldElement& diffU) {
    FieldElement da = feMul(feSub(p.x, p.z), feAdd(q.x, q.z));
    FieldElement cb = feMul(feAdd(p.x, p.z), feSub(q.x, q.z));
    return {feSquare(feAdd(da, cb)), feMul(diffU, feSquare(feSub(da, cb)))};
}

void conditionalSwap(ProjectiveU& a, ProjectiveU& b, uint32_t swap) {
    feConditionalSwap(a.x, b.x, swap);
    feConditionalSwap(a.z, b.z, swap);
}

}  // namespace

bool liftEvenPoint(const FieldElement& u, AffinePoint& point) {
    FieldElement one = feFromSmall(1);
    FieldElement w = feMul(u, feAdd(feMul(feAdd(u, feFromSmall(curveA)), u), one));
    // Square root for p = 5 mod 8: with t = 2w and a = t^((p-5)/8),
    // w a (t a^2 - 1) squares to w whenever w is a square.
    FieldElement t = feAdd(w, w);
    FieldElement a = fePowP58(t);
    FieldElement root = feMul(feMul(w, a), feSub(feMul(t, feSquare(a)), one));
    if (!feEqual(feSquare(root), w)) {
        return false;
    }
    point.u = u;
    point.v = feIsEven(root) ? root : feNegate(root);
    return true;
}

const AffinePoint& generatorPoint() {
    static const AffinePoint point = [] {
        AffinePoint p{};
        liftEvenPoint(feFromSmall(9), p);  // 9 is on the curve
        return p;
    }();
    return point;
}

bool affineSumU(const AffinePoint& a, const AffinePoint& b, FieldElement& u) {
    if (feEqual(a.u, b.u)) {
        return false;
    }
    FieldElement slope = feMul(feSub(a.v, b.v), feInvert(feSub(a.u, b.u)));
    FieldElement sum = feSub(feSub(feSquare(slope), feFromSmall(curveA)), feAdd(a.u, b.u));
    u = feMulSmall(sum, 1);
    return true;
}

void montgomeryLadder(const uint8_t scalar[32], const FieldElement& u, ProjectiveU& low, ProjectiveU& high) {
    // Invariant: high - low = P.
    low = neutral();
    high = {u, feFromSmall(1)};
    uint32_t swapped = 0;
    for (int i = 255; i >= 0; --i) {
        uint32_t bit = static_cast<uint32_t>(scalarBit(scalar, i));
        conditionalSwap(low, high, swapped ^ bit);
        swapped = bit;
        high = xAdd(low, high, u);
        low = xDouble(low);
    }
    conditionalSwap(low, high, swapped);
}

void scalarMultU(const uint8_t scalar[32], const uint8_t u[32], uint8_t out[32]) {
    ProjectiveU low;
    ProjectiveU high;
    montgomeryLadder(scalar, feDecode(u), low, high);
    feEncode(out, affineU(low));
}

// A two-dimensional differential ladder. With (a', b') the leading bits of
// a and b read so far, it keeps
//   s0 = a' P + b' G,   s1 = s0 + P + G,   s2 = s0 + P (towardP) or s0 + G,
// so that every pair differs by P, G or P + G, whose u-coordinates are known.
// Reading the next bits (x, y) doubles (a', b'); the new three points are
// sums of two old ones, except that (x, y) = (1, 0) needs s2 = s0 + P and
// (0, 1) needs s2 = s0 + G. Where x = y the choice of s2 carries over, and
// where x != y it may be made anew, so it is set by the next pair below
// that differs.
bool combinationU(const uint8_t a[32], const uint8_t pointU[32], const uint8_t b[32], FieldElement& u) {
    AffinePoint p;
    if (!liftEvenPoint(feDecode(pointU), p)) {
        return false;
    }
    const AffinePoint& g = generatorPoint();
    FieldElement sumU;
    if (!affineSumU(p, g, sumU)) {
        return false;
    }

    bool towardP[256];  // the choice wanted before reading bit i
    bool choice = true;
    for (int i = 0; i < 256; ++i) {
        int x = scalarBit(a, i);
        if (x != scalarBit(b, i)) {
            choice = (x == 1);
        }
        towardP[i] = choice;
    }

    FieldElement one = feFromSmall(1);
    ProjectiveU s0 = neutral();
    ProjectiveU s1 = {sumU, one};
    bool current = towardP[255];
    ProjectiveU s2 = {current ? p.u : g.u, one};
    for (int i = 255; i >= 0; --i) {
        int x = scalarBit(a, i);
        int y = scalarBit(b, i);
        bool next = (i > 0) ? towardP[i - 1] : current;
        const FieldElement& diff02 = current ? p.u : g.u;  // s2 - s0
        const FieldElement& diff12 = current ? g.u : p.u;  // s1 - s2
        ProjectiveU n0;
        ProjectiveU n1;
        ProjectiveU n2;
        if (x == y && x == 0) {
            n0 = xDouble(s0);
            n1 = xAdd(s0, s1, sumU);
            n2 = xAdd(s0, s2, diff02);
        } else if (x == y) {
            n0 = xAdd(s0, s1, sumU);
            n1 = xDouble(s1);
            n2 = xAdd(s1, s2, diff12);
        } else {
            // Here current matches x by construction of towardP.
            n0 = xAdd(s0, s2, diff02);
            n1 = xAdd(s1, s2, diff12);
            n2 = (next == current) ? xDouble(s2) : xAdd(s0, s1, sumU);
        }
        s0 = n0;
        s1 = n1;
        s2 = n2;
        current = next;
    }
    u = affineU(s0);
    return true;
}

FieldElement affineU(const ProjectiveU& point) { return feMul(point.x, feInvert(point.z)); }

}  // namespace velmora
