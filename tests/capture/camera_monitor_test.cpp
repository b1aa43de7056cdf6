// The shared camera monitor's lifetime on the fake camera plugin, whose provider counts its stops.
// A process of its own: keepUntilExit() lasts until the process ends.
#include "capture/camera_monitor.h"

#include <memory>

#include <gtest/gtest.h>

namespace {

guint stopsOf(GstDeviceProvider *provider)
{
	guint stops = 0;
	g_object_get(provider, "stops", &stops, nullptr);
	return stops;
}

} // namespace

// Catches the monitor stopped with its last holder once kept until exit (keepUntilExit() emptied
// or undone): PipeWire's provider, stopped while its thread handles an event, frees its registry
// twice, and the viewer's heap is corrupt at exit or at the next camera change. The same running
// monitor comes back, and the provider's stop is never called.
TEST(CameraMonitorLife, KeptUntilExitItOutlivesItsLastHolderAndItsProviderNeverStops)
{
	ASSERT_TRUE(gst_registry_scan_path(gst_registry_get(), EDGE_VIEWER_FAKE_CAMERA_DIR) ||
		    gst_registry_find_plugin(gst_registry_get(), "fakecamera"));
	setenv("EDGE_VIEWER_FAKE_CAMERAS", EDGE_VIEWER_WEBCAMS, 1);
	const GstObjectPtr<GstDeviceProvider> provider(
		gst_device_provider_factory_get_by_name("fakecameraprovider"));
	ASSERT_TRUE(provider);

	// Not kept yet: the last holder stops it, which shows that the count counts.
	{
		const std::shared_ptr<CameraMonitor> held = CameraMonitor::hold();
		ASSERT_TRUE(held->get());
		EXPECT_TRUE(gst_device_provider_is_started(provider.get()));
	}
	ASSERT_EQ(stopsOf(provider.get()), 1u);

	std::shared_ptr<CameraMonitor> held = CameraMonitor::hold();
	ASSERT_TRUE(held->get());
	// A reference of the test's own, so that a new monitor cannot take the old one's address.
	const GstObjectPtr<GstDeviceMonitor> running(
		GST_DEVICE_MONITOR(gst_object_ref(held->get())));
	CameraMonitor::keepUntilExit();
	held.reset();
	EXPECT_EQ(stopsOf(provider.get()), 1u) << "stopped with its last holder";
	EXPECT_TRUE(gst_device_provider_is_started(provider.get()));
	const std::shared_ptr<CameraMonitor> again = CameraMonitor::hold();
	EXPECT_EQ(again->get(), running.get()) << "a new monitor, not the one kept";
	EXPECT_EQ(stopsOf(provider.get()), 1u);
}
