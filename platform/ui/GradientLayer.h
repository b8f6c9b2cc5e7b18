#pragma once
// A layer that fills its bounds with a linear gradient; start and end points
// are unit coordinates of the bounds (default top centre to bottom centre).
#include <vector>

#include "platform/ui/Layer.h"

namespace platform::ui {

class GradientLayer : public Layer {
public:
    GradientLayer();
    const std::vector<Color>& colors() const { return colors_; }
    void setColors(std::vector<Color> colors);
    // Stops from 0 to 1, one per colour; empty spreads the colours evenly.
    const std::vector<double>& locations() const { return locations_; }
    void setLocations(std::vector<double> locations);
    Point startPoint() const { return start_; }
    void setStartPoint(Point p);
    Point endPoint() const { return end_; }
    void setEndPoint(Point p);

    void drawInContext(Context& ctx) override;

protected:
    std::shared_ptr<Layer> makeEmptyCopy() const override;

private:
    std::vector<Color> colors_;
    std::vector<double> locations_;
    Point start_{0.5, 0}, end_{0.5, 1};
};

}  // namespace platform::ui
