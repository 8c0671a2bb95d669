/* Resource and control ids shared by the resource script and the code. */
#pragma once

#define IDC_PROGRESS 500
#define IDI_APP 105
#define IDR_PAYLOAD 501
#define RT_PAYLOAD "QUA"
