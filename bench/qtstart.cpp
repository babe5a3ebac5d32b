// The floor of any program that links Qt Core: it starts, touches Qt Core once and exits.
#include <QByteArray>

int main(int argc, char **)
{
    const QByteArray bytes(argc, 'x');
    return bytes.size() == argc ? 0 : 1;
}
