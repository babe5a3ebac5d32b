// The device model catalogue as an X-macro list: one row per model, in menu order.
// Expanded in the Flasher class body (per-model slot declarations, which moc reads), in the slot definitions
// and in the catalogue table, so that every per-model fact is written once, here.
#pragma once

// Columns of ZR_CATALOGUE(X):
//   menu      the boot-image menu: Boot0_299 "BootBin Zr 0-299", Boot300_799, Boot800_999, Boot646 "BootBin Zr646"
//   slot id   the slots are slotCreateBootBin<id>() and slotCreateUpg<id>()
//   code      the model code handed to the builder and the writer
//   label     the menu text before the tab; "" when it is the model code
//   builder   M slotCreateBootBinZr, R slotCreateBootBinZr_103RC, G slotCreateBootBinZrSTM32G4,
//             H slotCreateBootBinZr536_, F4 slotCreateBootBinSTM32F4xx_family,
//             F0 slotCreateBootBinSTM32F070F6_family, P slotAddParamsToFile
//   tag       hardware tag ("" for the family builders, which take none)
//   rdm       RDM identifier, bits 31-24 of the production word
//   writer    upgrade writer: C8, C6, RC, RG, G4, F0 (slotCreateUpgSTM32<family>_family); NONE: no upgrade entry
//
//  menu         slot id     code           label                           builder tag  rdm  writer
#define ZR_CATALOGUE(X) \
    X(Boot0_299  , Zr489     , "Zr489"      , ""                            , F4, ""  ,  52, RG  ) \
    X(Boot0_299  , Zr529     , "Zr529"      , ""                            , M , "a1",  35, C8  ) \
    X(Boot0_299  , Zr515     , "Zr515"      , ""                            , M , "a1",  36, C8  ) \
    X(Boot0_299  , Zr444     , "Zr444"      , ""                            , M , "a1",  37, C8  ) \
    X(Boot0_299  , Zr672     , "Zr672"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot0_299  , Zr672_L0  , "Zr672_L0"   , ""                            , M , "a1", 100, C8  ) \
    X(Boot0_299  , Zr666     , "Zr666"      , ""                            , M , "a1",  38, C8  ) \
    X(Boot0_299  , Zr403     , "Zr403"      , ""                            , H , "a1",   0, RG  ) \
    X(Boot0_299  , Zr423     , "Zr423"      , ""                            , M , "a1",  32, C8  ) \
    X(Boot0_299  , Zr423_L0  , "Zr423_L0"   , ""                            , M , "a1",  32, C8  ) \
    X(Boot0_299  , Zr498     , "Zr498"      , ""                            , M , "a1",   6, C8  ) \
    X(Boot0_299  , Zr601     , "Zr601"      , ""                            , M , "a1",   8, C8  ) \
    X(Boot0_299  , Zr601_L0  , "Zr601_L0"   , ""                            , M , "a1",   8, C8  ) \
    X(Boot0_299  , Zr501     , "Zr501"      , ""                            , M , "a1",   3, C8  ) \
    X(Boot0_299  , Zr627     , "Zr627"      , ""                            , M , "a1",   5, RC  ) \
    X(Boot0_299  , Zr652     , "Zr652"      , ""                            , M , "a1",  19, C8  ) \
    X(Boot0_299  , Zr528     , "Zr528"      , ""                            , M , "a1",  66, C8  ) \
    X(Boot0_299  , Zr528_L0  , "Zr528_L0"   , ""                            , M , "a1",  66, C8  ) \
    X(Boot0_299  , Zr597     , "Zr597"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot300_799, Zr449     , "Zr449"      , ""                            , M , "a1",  20, C8  ) \
    X(Boot300_799, Zr686     , "Zr686"      , ""                            , M , "a1",  33, C8  ) \
    X(Boot300_799, Zr657     , "Zr657"      , ""                            , M , "a1",  34, C8  ) \
    X(Boot300_799, Zr609     , "Zr609"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot300_799, Zr519     , "Zr519"      , ""                            , M , "a1",  21, C8  ) \
    X(Boot300_799, Zr432     , "Zr432"      , ""                            , M , "a1",  22, C8  ) \
    X(Boot300_799, Zr594     , "Zr594"      , ""                            , M , "a1",  81, C8  ) \
    X(Boot300_799, Zr606     , "Zr606"      , ""                            , M , "a1",  24, C8  ) \
    X(Boot300_799, Zr628     , "Zr628"      , ""                            , G , "a1",  40, G4  ) \
    X(Boot300_799, Zr536     , "Zr536"      , ""                            , H , "a1",   0, RG  ) \
    X(Boot300_799, Zr507     , "Zr507"      , "Zr507_DIN (ZR626_BOX)"       , M , "d1",   0, C8  ) \
    X(Boot300_799, Zr633     , "Zr633"      , ""                            , M , "d1",  73, C8  ) \
    X(Boot300_799, Zr535     , "Zr535"      , ""                            , M , "d1",  57, C8  ) \
    X(Boot300_799, Zr569     , "Zr569"      , ""                            , M , "a1",  39, C8  ) \
    X(Boot300_799, Zr569_L0  , "Zr569_L0"   , ""                            , M , "a1",  39, C8  ) \
    X(Boot300_799, Zr603     , "Zr603"      , ""                            , M , "a1",  51, C8  ) \
    X(Boot300_799, Zr595     , "Zr595"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot300_799, Zr564     , "Zr564"      , ""                            , M , "d1",  54, C8  ) \
    X(Boot300_799, Zr562     , "Zr562"      , ""                            , M , "a1",  21, C8  ) \
    X(Boot300_799, Zr649     , "Zr649"      , ""                            , M , "a1",  56, C8  ) \
    X(Boot300_799, Zr649_L0  , "Zr649_L0"   , ""                            , M , "a1",  56, C8  ) \
    X(Boot300_799, Zr407     , "Zr407"      , ""                            , M , "d1",  65, C8  ) \
    X(Boot300_799, Zr647     , "Zr647"      , "Zr647 (ZR530)"               , M , "d1",  48, C8  ) \
    X(Boot300_799, Zr517     , "Zr517"      , "Zr517 (ZR676)"               , M , "d1",  49, C8  ) \
    X(Boot300_799, Zr433     , "Zr433"      , "Zr433 (ZR533)"               , M , "d1",  50, C8  ) \
    X(Boot300_799, Zr647_MONO, "Zr647_MONO" , "Zr647_MONO (ZR530_MONO)"     , M , "d1",  48, C8  ) \
    X(Boot300_799, Zr517_MONO, "Zr517_MONO" , "Zr517_MONO (ZR676_MONO)"     , M , "d1",  49, C8  ) \
    X(Boot300_799, Zr433_MONO, "Zr433_MONO" , "Zr433_MONO (ZR533_MONO)"     , M , "d1",  50, C8  ) \
    X(Boot300_799, Zr487     , "Zr487"      , ""                            , M , "d1",  53, C8  ) \
    X(Boot300_799, Zr409     , "Zr409"      , ""                            , M , "d1",  55, C8  ) \
    X(Boot300_799, Zr650     , "Zr650"      , ""                            , R , "a1",  67, RC  ) \
    X(Boot300_799, Zr430     , "Zr430"      , "Zr430\\Zr546\\Zr571\\Zr514"  , M , "a1",  64, C8  ) \
    X(Boot300_799, Zr430_L0  , "Zr430_L0"   , "Zr430_L0\\Zr546\\Zr571\\Zr514", M , "a1",  64, C8  ) \
    X(Boot300_799, Zr446     , "Zr446"      , ""                            , M , "a1",  80, C8  ) \
    X(Boot300_799, Zr437     , "Zr437"      , ""                            , M , "a1",  68, C8  ) \
    X(Boot300_799, Zr492     , "Zr492"      , "Zr492\\Zr636\\Zr605\\Zr576"  , M , "a1",  85, C8  ) \
    X(Boot300_799, Zr492_L0  , "Zr492_L0"   , "Zr492_L0\\Zr636\\Zr605\\Zr576", M , "a1",  85, C8  ) \
    X(Boot300_799, Zr659     , "Zr659"      , ""                            , P , "a1",   0, NONE) \
    X(Boot300_799, Zr641     , "Zr641"      , ""                            , M , "a1",  70, C8  ) \
    X(Boot300_799, Zr598     , "Zr598"      , ""                            , M , "a1",  69, C8  ) \
    X(Boot300_799, Zr600     , "Zr600"      , "Zr600\\Zr579\\Zr450\\Zr551"  , M , "a1",  64, C8  ) \
    X(Boot300_799, Zr600_L0  , "Zr600_L0"   , "Zr600_L0\\Zr579\\Zr450\\Zr551", M , "a1",  64, C8  ) \
    X(Boot300_799, Zr448     , "Zr448"      , ""                            , M , "d1",   0, C8  ) \
    X(Boot300_799, Zr440     , "Zr440"      , ""                            , F0, ""  ,   0, F0  ) \
    X(Boot300_799, Zr553     , "Zr553"      , ""                            , F4, ""  ,  72, RG  ) \
    X(Boot300_799, Zr556     , "Zr556"      , ""                            , M , "a1",  82, C8  ) \
    X(Boot300_799, Zr556_L0  , "Zr556_L0"   , ""                            , M , "a1",  98, C8  ) \
    X(Boot300_799, Zr655     , "Zr655"      , ""                            , M , "a1",  83, C8  ) \
    X(Boot300_799, Zr419     , "Zr419"      , ""                            , M , "a1",  84, C8  ) \
    X(Boot300_799, Zr459     , "Zr459"      , ""                            , M , "a1",  86, C8  ) \
    X(Boot300_799, Zr474     , "Zr474"      , ""                            , M , "a1",  87, C8  ) \
    X(Boot300_799, Zr522     , "Zr522"      , ""                            , M , "a1",  93, C8  ) \
    X(Boot800_999, Zr525     , "Zr525"      , ""                            , M , "a1",  88, C8  ) \
    X(Boot800_999, Zr524     , "Zr524"      , ""                            , M , "a1",  89, C8  ) \
    X(Boot800_999, Zr509     , "Zr509"      , ""                            , M , "a1",  90, C8  ) \
    X(Boot800_999, Zr679     , "Zr679"      , ""                            , M , "a1",  91, C8  ) \
    X(Boot800_999, Zr499     , "Zr499"      , ""                            , M , "a1",  92, C8  ) \
    X(Boot800_999, Zr439     , "Zr439"      , ""                            , M , "a1",  96, C8  ) \
    X(Boot800_999, Zr586     , "Zr586"      , ""                            , M , "a1",  94, C8  ) \
    X(Boot800_999, Zr634     , "Zr634"      , ""                            , M , "a1",  95, C8  ) \
    X(Boot800_999, Zr634_L0  , "Zr634_L0"   , ""                            , M , "a1",  95, C8  ) \
    X(Boot800_999, Zr639     , "Zr639"      , ""                            , G , "a1",  97, G4  ) \
    X(Boot800_999, Zr584     , "Zr584"      , ""                            , G , "a1", 108, G4  ) \
    X(Boot800_999, Zr566     , "Zr566"      , ""                            , M , "a1",  96, C8  ) \
    X(Boot800_999, Zr568_L0  , "Zr568_L0"   , ""                            , M , "a1",  99, C8  ) \
    X(Boot800_999, Zr685     , "Zr685"      , "Zr685\\Zr575\\Zr669"         , M , "a1", 104, C8  ) \
    X(Boot800_999, Zr581_L0  , "Zr581"      , ""                            , M , "a1", 102, C8  ) \
    X(Boot800_999, Zr563     , "Zr563"      , ""                            , M , "a1", 103, C8  ) \
    X(Boot800_999, Zr589     , "Zr589"      , ""                            , G , "a1", 105, G4  ) \
    X(Boot800_999, Zr545     , "Zr545"      , ""                            , G , "a1",   0, G4  ) \
    X(Boot800_999, Zr602     , "Zr602"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot800_999, Zr447     , "Zr447"      , ""                            , G , "a1",   0, G4  ) \
    X(Boot800_999, Zr480     , "Zr480"      , ""                            , M , "a1",   0, C8  ) \
    X(Boot800_999, Zr540     , "Zr540"      , ""                            , G , "a1", 106, G4  ) \
    X(Boot646    , Zr646m02  , "Zr646m02"   , ""                            , M , "a1",   0, C8  )

// Upgrade slots without a catalogue row or menu entry (the STM32F100C6 models); columns as above.
//  slot id      code         writer
#define ZR_UPGRADE_ONLY(X) \
    X(Zr680,     "Zr680",     C6) \
    X(Zr680_RGB, "Zr680_RGB", C6) \
    X(Zr491,     "Zr491",     C6) \
    X(Zr491_RGB, "Zr491_RGB", C6) \
    X(Zr643,     "Zr643",     C6) \
    X(Zr643_RGB, "Zr643_RGB", C6)

// ZR_IF_UPGRADE_<writer>(x): x for a row with an upgrade writer, nothing for NONE.
#define ZR_IF_UPGRADE_C8(...) __VA_ARGS__
#define ZR_IF_UPGRADE_C6(...) __VA_ARGS__
#define ZR_IF_UPGRADE_RC(...) __VA_ARGS__
#define ZR_IF_UPGRADE_RG(...) __VA_ARGS__
#define ZR_IF_UPGRADE_G4(...) __VA_ARGS__
#define ZR_IF_UPGRADE_F0(...) __VA_ARGS__
#define ZR_IF_UPGRADE_NONE(...)

// The per-model slot declarations, for the Flasher class body.
#define ZR_DECLARE_MODEL_SLOTS(menu, id, code, label, builder, tag, rdm, writer) \
    void slotCreateBootBin##id(); ZR_IF_UPGRADE_##writer(void slotCreateUpg##id();)
#define ZR_DECLARE_UPGRADE_ONLY_SLOT(id, code, writer) void slotCreateUpg##id();
