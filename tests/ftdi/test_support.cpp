#include "recording_chip.h"

#include <cstring>

namespace {

class fake_driver_t : public ftdi_driver_t {
public:
    fake_driver_t() { fake_library().loads++; }

    void set_usb_ids(uint16_t vendor_id, uint16_t product_id) override
    {
        fake_library().usb_ids.push_back(uint32_t(vendor_id) << 16 | product_id);
    }
    std::string open_failure_advice(uint32_t) override { return fake_library().advice; }

    uint32_t create_device_info_list(uint32_t &count) override
    {
        count = static_cast<uint32_t>(fake_library().devices.size());
        return fake_library().count_status;
    }
    uint32_t get_device_info_list(ftdi_node_t *nodes, uint32_t &count) override
    {
        const auto &devices = fake_library().devices;
        if (count > devices.size())
            count = static_cast<uint32_t>(devices.size());
        for (uint32_t i = 0; i < count; i++)
            nodes[i] = devices[i];
        return fake_library().list_status;
    }
    uint32_t open_ex(const char *key, uint32_t how) override
    {
        fake_library().opened_key = key;
        fake_library().opened_how = how;
        if (fake_library().open_status != FTDI_OK)
            return fake_library().open_status;
        const auto &devices = fake_library().devices;
        for (size_t i = 0; i < devices.size(); i++) {
            const char *name = how == FTDI_OPEN_BY_SERIAL_NUMBER ? devices[i].serial_number : devices[i].description;
            if (strcmp(name, key) == 0 && !(devices[i].flags & 1)) {
                opened = static_cast<int>(i);
                return FTDI_OK;
            }
        }
        return FTDI_DEVICE_NOT_FOUND;
    }
    uint32_t get_device_info(ftdi_node_t &info) override
    {
        if (fake_library().info_status != FTDI_OK)
            return fake_library().info_status;
        info = fake_library().devices.at(static_cast<size_t>(opened));
        info.flags = 0;
        return FTDI_OK;
    }
    void close() override { fake_library().closes++; }
    std::unique_ptr<ftdi_chip_t> take_chip() override
    {
        return std::unique_ptr<ftdi_chip_t>(new recording_chip_t(fake_library().chip_log));
    }

private:
    int opened = -1;
};

std::unique_ptr<ftdi_driver_t> load_fake_driver()
{
    return std::unique_ptr<ftdi_driver_t>(new fake_driver_t);
}

}  // namespace

fake_library_t &fake_library()
{
    static fake_library_t library;
    return library;
}

void install_fake_library()
{
    fake_library() = fake_library_t();
    set_ftdi_driver_loader(load_fake_driver);
}

std::vector<uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> result;
    for (int v : values)
        result.push_back(static_cast<uint8_t>(v));
    return result;
}

std::string hex(const std::vector<uint8_t> &data)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}
