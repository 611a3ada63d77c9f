// Statistics package state: designs of the stored statistics objects,
// created once per process on first use.
#pragma once

struct Kmif_Design;

struct Ksta_Package {
    Kmif_Design *statistics;
    Kmif_Design *covariance;
    Kmif_Design *excludedValues;
    Kmif_Design *skipFactors;
    Kmif_Design *parameters;
};
