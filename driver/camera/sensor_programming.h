// Camera start-up: the device initialisation packet, the sensor's initialisation by chip
// version and the settings load. (Stream start is CaptureDevice::StartSensor.)
#pragma once

#include <wdm.h>

class CaptureDevice;

BOOLEAN InitializeCamera(CaptureDevice* device);
BOOLEAN InitializeSensor(CaptureDevice* device);
void PrepareStream(CaptureDevice* device);
