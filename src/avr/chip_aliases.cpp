// Chip aliases: the part ids avrdude users type (m328p, t13, c128, usb1286,
// pwm2b) and the suffixed variants (A, PA) whose signature, memory and page
// sizes, write times, fuse bytes and lock bits are all those of the table
// chip. A variant that differs in any of them has no alias here (ATmega165
// and ATmega165A, for one, carry another signature than the table's mega165).
#include "avr/chip_aliases.h"

#include <string>

#include "avr/devices.h"
#include "base/messages.h"

const chip_alias_t chip_aliases[] = {
    {"90S1200", "1200"},
    {"90S2313", "2313"},
    {"90S4414", "4414"},
    {"90S8515", "8515"},
    {"90S4434", "4434"},
    {"90S8535", "8535"},
    {"90S2333", "2333"},
    {"90S4433", "4433"},
    {"90S2343", "2343"},
    {"tiny12", "t12"},
    {"tiny13", "t13"},
    {"tiny13A", "t13a"},
    {"tiny2313", "t2313|t2313a|tiny2313A"},
    {"tiny15", "t15"},
    {"tiny25", "t25"},
    {"tiny45", "t45"},
    {"tiny85", "t85"},
    {"tiny43u", "t43u"},
    {"tiny87", "t87"},
    {"tiny167", "t167"},
    {"tiny26", "t26"},
    {"tiny261", "t261|t261a|tiny261A"},
    {"tiny461", "t461|t461a|tiny461A"},
    {"tiny861", "t861|t861a|tiny861A"},
    {"tiny24", "t24|t24a|tiny24A"},
    {"tiny44", "t44|t44a|tiny44A"},
    {"tiny84", "t84|t84a|tiny84A"},
    {"tiny48", "t48"},
    {"tiny88", "t88"},
    {"mega103", "m103"},
    {"mega161", "m161"},
    {"mega163", "m163"},
    {"mega8515", "m8515"},
    {"mega8535", "m8535"},
    {"mega162", "m162"},
    {"mega8", "m8|m8a|mega8A"},
    {"mega48", "m48|m48a|mega48A"},
    {"mega88", "m88|m88a|mega88A"},
    {"mega168", "m168|m168a|mega168A"},
    {"mega48P", "m48p|m48pa|mega48PA"},
    {"mega88P", "m88p|m88pa|mega88PA"},
    {"mega168P", "m168p|m168pa|mega168PA"},
    {"mega328P", "m328p"},
    {"mega16", "m16|m16a|mega16A"},
    {"mega32", "m32|m32a|mega32A"},
    {"mega64", "m64|m64a|mega64A"},
    {"mega128", "m128|m128a|mega128A"},
    {"90CAN32", "c32"},
    {"90CAN64", "c64"},
    {"90CAN128", "c128"},
    {"90usb82", "usb82"},
    {"90usb162", "usb162"},
    {"mega8U2", "m8u2"},
    {"mega16U2", "m16u2"},
    {"mega32U2", "m32u2"},
    {"mega16U4", "m16u4"},
    {"mega32U4", "m32u4"},
    {"90usb646", "usb646"},
    {"90usb647", "usb647"},
    {"90usb1286", "usb1286"},
    {"90usb1287", "usb1287"},
    {"mega644", "m644|m644a|mega644A"},
    {"mega164P", "m164p"},
    {"mega164PA", "m164pa"},
    {"mega324P", "m324p"},
    {"mega324PA", "m324pa"},
    {"mega644P", "m644p"},
    {"mega644PA", "m644pa"},
    {"mega1284P", "m1284p"},
    {"mega165P", "m165p|m165pa|mega165PA"},
    {"mega325", "m325|m325a|mega325A"},
    {"mega325P", "m325p|m325pa|mega325PA"},
    {"mega3250", "m3250|m3250a|mega3250A"},
    {"mega3250P", "m3250p|m3250pa|mega3250PA"},
    {"mega645", "m645|m645a|mega645A"},
    {"mega6450", "m6450|m6450a|mega6450A"},
    {"mega169", "m169"},
    {"mega169P", "m169p|m169pa|mega169PA"},
    {"mega329", "m329|m329a|mega329A"},
    {"mega329P", "m329p|m329pa|mega329PA"},
    {"mega3290", "m3290|m3290a|mega3290A"},
    {"mega3290P", "m3290p|m3290pa|mega3290PA"},
    {"mega649", "m649|m649a|mega649A"},
    {"mega6490", "m6490|m6490a|mega6490A"},
    {"mega640", "m640"},
    {"mega1280", "m1280"},
    {"mega1281", "m1281"},
    {"mega2560", "m2560"},
    {"mega2561", "m2561"},
    {"90pwm2", "pwm2"},
    {"90pwm3", "pwm3"},
    {"90pwm2B", "pwm2b"},
    {"90pwm3B", "pwm3b"},
    {"90pwm216", "pwm216"},
    {"90pwm316", "pwm316"},
    {"mega32M1", "m32m1"},
    {"mega64M1", "m64m1"},
};
const int chip_alias_count = sizeof(chip_aliases) / sizeof(chip_aliases[0]);

const char *resolve_chip_alias(const char *name)
{
    for (const chip_alias_t &alias : chip_aliases) {
        if (device_name_matches(alias.aliases, name))
            return alias.chip;
    }
    return name;
}

void print_alias_list()
{
    msg_print(msg_out, MSG_INFO, "\nSupported devices and their aliases\n");
    for (int32_t i = 0; i < avr_device_count; i++) {
        const avr_device_t &device = avr_devices[i];
        if (device.flags & flag_unlisted)
            continue;
        std::string others;
        for (const chip_alias_t &alias : chip_aliases) {
            if (find_device(alias.chip) != i)
                continue;
            others += ' ';
            for (const char *c = alias.aliases; *c; c++)
                others += *c == '|' ? ' ' : *c;
        }
        if (others.empty())
            msg_print(msg_out, MSG_INFO, " %s\n", device.name);
        else
            msg_print(msg_out, MSG_INFO, " %-22s%s\n", device.name, others.c_str());
    }
}
