// Statistics package state: designs of the stored statistics objects,
// created once per process on first use, and the "filepref" preferences
// that govern sampling, kept current through preference callbacks.
#pragma once

struct Kmif_Design;
struct Kmif_Dictionary;

struct Ksta_Preferences {
    double continuousStatsPercent;     // 100
    double continuousStatsMinPixels;   // 1
    double hyperspectralLayerMinimum;  // 16
    int computeSubsampledImages;       // 0
    char subsamplingKernel[8];         // "2X2" or "4X4"
    int rrdExternal;                   // 0
    int useOldRrdLayers;               // 0
};

struct Ksta_Package {
    Kmif_Dictionary *dictionary;
    Kmif_Design *statistics;
    Kmif_Design *covariance;
    Kmif_Design *excludedValues;
    Kmif_Design *skipFactors;
    Kmif_Design *parameters;     // Kimg_StatisticsParameters840
    Kmif_Design *parameters830;  // Kimg_StatisticsParameters830
    int preferencesRead;         // the record below is filled and watched
    Ksta_Preferences preferences;
};
