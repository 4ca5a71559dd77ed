// LEDs: PA6 heartbeat, PA7 sensor status.
#pragma once

void LED_Init();
