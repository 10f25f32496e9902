// The Rijndael substitution as a Boolean circuit over bit planes: word i
// holds bit i of as many bytes as the word has lanes (any unsigned integer
// type), and one pass substitutes all of them with the same fixed sequence
// of ANDs and XORs, whatever their values. No table, no branch, no index.
//
// The gates are those of Boyar and Peralta's 113-gate circuit (32 AND, 81
// XOR; "A new combinational logic minimization technique with applications
// to cryptology", 2009), wire names as published, so the listing can be
// compared gate for gate: a top linear layer spreads the eight input bits
// over 22 sums, a nonlinear middle inverts in GF(2^8) over a tower of
// subfields, a bottom linear layer gathers the eight output bits and applies
// the linear part of the affine map.
//
// The circuit's four XNORs are XORs here, so the result is S(x) ^ 0x63: the
// constant is left to the caller, which folds it into round keys (a constant
// byte passes unchanged through the row rotation and column mixing). Lanes
// that are zero in every input word stay zero, since nothing complements.
#pragma once

namespace rijndael_circuit {

// q[i]: bit plane i (bit 0 = least significant bit of each byte), replaced
// by the planes of S(x) ^ 0x63.
template <class W>
inline __attribute__((always_inline)) void substitute_without_constant(W (&q)[8]) {
    // The published inputs U0..U7 run from the most significant bit down.
    const W u0 = q[7], u1 = q[6], u2 = q[5], u3 = q[4], u4 = q[3], u5 = q[2], u6 = q[1], u7 = q[0];

    // Top linear layer.
    const W y14 = u3 ^ u5, y13 = u0 ^ u6, y9 = u0 ^ u3, y8 = u0 ^ u5;
    const W t0 = u1 ^ u2;
    const W y1 = t0 ^ u7;
    const W y4 = y1 ^ u3, y12 = y13 ^ y14, y2 = y1 ^ u0, y5 = y1 ^ u6;
    const W y3 = y5 ^ y8;
    const W t1 = u4 ^ y12;
    const W y15 = t1 ^ u5, y20 = t1 ^ u1;
    const W y6 = y15 ^ u7, y10 = y15 ^ t0, y11 = y20 ^ y9;
    const W y7 = u7 ^ y11, y17 = y10 ^ y11, y19 = y10 ^ y8, y16 = t0 ^ y11;
    const W y21 = y13 ^ y16, y18 = u0 ^ y16;

    // Nonlinear middle: inversion in GF(2^8).
    const W t2 = y12 & y15, t3 = y3 & y6, t5 = y4 & u7, t7 = y13 & y16, t8 = y5 & y1;
    const W t10 = y2 & y7, t12 = y9 & y11, t13 = y14 & y17, t15 = y8 & y10;
    const W t4 = t3 ^ t2, t6 = t5 ^ t2, t9 = t8 ^ t7, t11 = t10 ^ t7, t14 = t13 ^ t12,
            t16 = t15 ^ t12;
    const W t17 = t4 ^ y20, t18 = t6 ^ t16, t19 = t9 ^ t14, t20 = t11 ^ t16;
    const W t21 = t17 ^ t14, t22 = t18 ^ y19, t23 = t19 ^ y21, t24 = t20 ^ y18;
    const W t25 = t21 ^ t22, t26 = t21 & t23;
    const W t27 = t24 ^ t26, t31 = t22 ^ t26, t30 = t23 ^ t24;
    const W t28 = t25 & t27, t32 = t31 & t30;
    const W t29 = t28 ^ t22, t33 = t32 ^ t24;
    const W t34 = t23 ^ t33, t35 = t27 ^ t33;
    const W t36 = t24 & t35;
    const W t37 = t36 ^ t34, t38 = t27 ^ t36;
    const W t39 = t29 & t38;
    const W t40 = t25 ^ t39;
    const W t41 = t40 ^ t37, t42 = t29 ^ t33, t43 = t29 ^ t40, t44 = t33 ^ t37;
    const W t45 = t42 ^ t41;
    const W z0 = t44 & y15, z1 = t37 & y6, z2 = t33 & u7, z3 = t43 & y16, z4 = t40 & y1,
            z5 = t29 & y7;
    const W z6 = t42 & y11, z7 = t45 & y17, z8 = t41 & y10, z9 = t44 & y12, z10 = t37 & y3,
            z11 = t33 & y4;
    const W z12 = t43 & y13, z13 = t40 & y5, z14 = t29 & y2, z15 = t42 & y9, z16 = t45 & y14,
            z17 = t41 & y8;

    // Bottom linear layer.
    const W tc1 = z15 ^ z16, tc4 = z0 ^ z2, tc5 = z1 ^ z0, tc6 = z3 ^ z4, tc12 = z3 ^ z5;
    const W tc2 = z10 ^ tc1, tc7 = z12 ^ tc4, tc8 = z7 ^ tc6, tc11 = tc6 ^ tc5, tc13 = z13 ^ tc1,
            tc14 = tc4 ^ tc12;
    const W tc3 = z9 ^ tc2, tc9 = z8 ^ tc7, tc16 = z6 ^ tc8, tc18 = tc13 ^ tc14, tc21 = tc2 ^ z11;
    const W tc10 = tc8 ^ tc9, tc20 = z15 ^ tc16;
    const W tc17 = z14 ^ tc10;
    const W tc26 = tc17 ^ tc20;
    const W s3 = tc3 ^ tc11;
    q[7] = tc3 ^ tc16;  // S0
    q[6] = s3 ^ tc16;   // S1 (an XNOR in the listing)
    q[5] = tc26 ^ z17;  // S2 (XNOR)
    q[4] = s3;          // S3
    q[3] = tc14 ^ s3;   // S4
    q[2] = tc21 ^ tc17; // S5
    q[1] = tc10 ^ tc18; // S6 (XNOR)
    q[0] = z12 ^ tc18;  // S7 (XNOR)
}

} // namespace rijndael_circuit
