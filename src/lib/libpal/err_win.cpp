// Windows system and Winsock error numbers mapped into verr. We do not run on
// Windows, but peers and old capture files report numbers from there, and the
// mapping is part of what the codes mean.
#include "pal_err.h"
#include "liblog.h"

WY_LOG_TAG("pal");

int os_verr_get_win(uint32_t eno) {
  // Winsock 10036 to 10059 map straight onto the socket group.
  if (eno >= 10036 && eno <= 10059) return 9600 - (int)eno;
  switch (eno) {
    case 0: return 0;
    case 87: case 160: case 1004: case 10022: return -2;
    case 6: case 130: case 10009: return -4;
    case 487: case 998: case 10014: return -6;
    case 8: case 14: case 1450: return -8;
    case 4390: return -19;
    case 1: return -36;
    case 50: return -37;
    case 5: case 10013: return -38;
    case 995: case 10004: return -39;
    case 121: case 258: case 1053: case 1121: case 1460: case 10060: return -40;
    case 111: case 122: return -41;
    case 164: return -43;
    case 89: case 10067: return -44;
    case 156: case 205: return -45;
    case 162: return -46;
    case 209: return -47;
    case 1705: return -49;
    case 10035: case 11002: return -52;
    case 1113: return -58;
    case 1223: return -70;
    case 1060: return -78;
    case 1326: case 1788: case 1789: return -89;
    case 110: return -101;
    case 2: case 433: case 1006: case 1921: return -102;
    case 3: return -103;
    case 123: case 161: case 1200: return -104;
    case 80: case 183: return -105;
    case 4: case 10024: return -106;
    case 25: return -107;
    case 131: return -108;
    case 132: return -109;
    case 38: return -110;
    case 30: return -111;
    case 29: return -112;
    case 19: return -113;
    case 32: case 1224: return -114;
    case 167: return -115;
    case 33: return -116;
    case 82: return -117;
    case 16: case 10066: return -118;
    case 17: return -119;
    case 206: case 10063: return -120;
    case 158: return -123;
    case 145: return -125;
    case 267: return -126;
    case 15: return -151;
    case 39: case 112: case 10069: return -152;
    case 108: return -154;
    case 26: return -155;
    case 10062: return -156;
    case 18: return -201;
    case 113: return -202;
    case 1117: return -250;
    case 20: return -251;
    case 21: return -252;
    case 22: return -253;
    case 23: return -254;
    case 24: return -255;
    case 27: return -256;
    case 31: return -257;
    case 55: return -258;
    case 535: case 536: return -300;
    case 109: return -301;
    case 230: return -302;
    case 231: return -303;
    case 232: case 1812: return -304;
    case 233: return -305;
    case 234: return -306;
    case 100: return -351;
    case 101: return -352;
    case 102: return -353;
    case 103: return -354;
    case 288: return -355;
    case 298: return -357;
    case 105: return -361;
    case 187: return -362;
    case 51: case 52: case 57: case 58: case 59: case 60: case 65:
    case 66: case 70: case 71: case 72: case 85: case 86: case 88: return -400;
    case 54: case 56: case 68: case 69: case 84: return -401;
    case 53: case 64: case 11001: return -402;
    case 67: return -403;
    case 61: case 62: case 63: return -404;
    case 11004: return -449;
    case 10061: return -461;
    case 10064: return -464;
    case 10065: return -465;
    case 191: return -600;
    case 193: case 1392: return -608;
    case 127: return -609;
    case 126: return -610;
    case 577: return -619;
    case 1314: case 0xC000042Cu: return -901;
    case 1325: case 1327: case 1330: case 1331: return -902;
    default: break;
  }
  LOGW("Unhandled eno=%u (0x%x)\n", eno, eno);
  return -1;
}
